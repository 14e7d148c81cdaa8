// Result codes and the last error text of the engineering-data services (path service,
// reference database, station configuration, generation lock, history database, backup).
#pragma once

#include <cstdint>
#include <string>

#include "libqveeda.h"

namespace eda {

inline constexpr std::uint32_t kOk = 0;
inline constexpr std::uint32_t kNotBound = 0x2E000001;      // path service or object not bound to a project
inline constexpr std::uint32_t kUnknownKey = 0x2E000002;    // key not in the key table (for this getter)
inline constexpr std::uint32_t kBadName = 0x2E000003;       // name empty, missing or not one plain path element
inline constexpr std::uint32_t kBadArgument = QVEEDA_E_ARGUMENT;  // null out pointer, number out of range, ...
inline constexpr std::uint32_t kConfig = 0x2E000005;        // workstation.json or sysconfig missing or malformed
inline constexpr std::uint32_t kNoStation = 0x2E000006;     // station not in the system configuration
inline constexpr std::uint32_t kDatabase = 0x2E000007;      // reference database missing, not a database, SQL error
inline constexpr std::uint32_t kNotOpen = 0x2E000008;       // database or table not open
inline constexpr std::uint32_t kAlreadyOpen = 0x2E000009;
inline constexpr std::uint32_t kNoTable = 0x2E00000A;       // element table missing or not in the documented schema
inline constexpr std::uint32_t kLocked = 0x2E00000B;        // generation lock held by someone else
inline constexpr std::uint32_t kBadHandle = 0x2E00000C;     // unlock with a handle that is not a live lock of that station
inline constexpr std::uint32_t kIo = 0x2E00000D;            // file system call failed (errno in the error text)
inline constexpr std::uint32_t kNotConfigured = 0x2E00000E; // e.g. no I/O bus types in the station's configuration
inline constexpr std::uint32_t kNoFile = 0x2E00000F;        // a file that must exist does not
inline constexpr std::uint32_t kTooMany = 0x2E000010;       // more rows than a listing accepts

// Text of the last failure of these services on this thread (names the file where one is
// involved); set by every failing call.
const std::string& last_error();
void set_error(std::string text);
// Sets the text and returns code, for "return fail(kX, ...)".
std::uint32_t fail(std::uint32_t code, std::string text);

}  // namespace eda
