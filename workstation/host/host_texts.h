// The default texts of the string resources, id -> text.
#pragma once

#include <map>
#include <string>

namespace ws {

const std::map<unsigned, std::string>& default_texts();

}  // namespace ws
