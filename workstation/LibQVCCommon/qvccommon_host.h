// The workstation's own programs' side of the logs.
#pragma once

#include <string>
#include <vector>

namespace ws {

// Appends "YYYY/MM/DD HH:MM:SS<TAB>field<TAB>field...\n" to $TUSAVE_HOME/log/<file> in one
// write (TAB, CR and LF inside a field become blanks); false when it could not be written.
bool append_log(const char* file, const std::vector<std::string>& fields);

}  // namespace ws
