// The default texts of the string resources, id -> text.
#pragma once

#include <map>
#include <string>

namespace ws {

const std::map<unsigned, std::string>& default_texts();

// Sets every text of table (as tusave_host_set_text does one), handing the port the whole table
// once.
void set_texts(const std::map<unsigned, std::string>& table);

}  // namespace ws
