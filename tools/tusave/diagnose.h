// After a failed save or check: one sentence that names what failed in the user's terms (the
// file, the control bus address and where it is set, the stations that exist, the generation
// times) and what to do. The library's own lines stay as they are; this comes after them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "save.h"

namespace tusave_cli {

// errLines: the ERR: lines the save put out, in order.
std::string diagnose(const SaveOptions& o, std::uint32_t result, const std::vector<std::string>& errLines);

// The workstation folder exists (else a line naming it and exit status 2 for the caller).
bool workstation_exists(const std::string& command);

// The names of the project's stations, joined by ", "; empty when they cannot be told.
std::string station_names(const std::string& project, bool eqlz);

// The station is one of the project's (else a line naming the stations there, and false).
bool known_station(const std::string& command, const std::string& project, const std::string& station,
                   bool eqlz = false);

}  // namespace tusave_cli
