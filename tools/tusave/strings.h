// The calling application's string resources: one English text for every resource id the
// library loads, across all steps of the save.
#pragma once

#include <map>
#include <string>

namespace tusave_cli {

const std::map<unsigned, std::string>& string_table();

}  // namespace tusave_cli
