// The host side of the generation lock: what a calling application may show about it.
#pragma once

#include <string>

namespace eda {

// The process id written into the station's lock file by its current (or last) holder;
// "" when the file is missing or names no process.
std::string gen_lock_holder(const std::string& project, const std::string& station);

}  // namespace eda
