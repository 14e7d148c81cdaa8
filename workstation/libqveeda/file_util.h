// Small POSIX file helpers shared by the engineering-data services.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace eda {

// Creates dir and its missing parents; 0 or kIo with the reason set.
std::uint32_t make_dirs(const std::string& dir);
// Appends one line (a newline is added) with a single write on an O_APPEND descriptor,
// so that lines of concurrent writers never mix.
std::uint32_t append_line(const std::string& path, const std::string& line);
// Copies a file durably: temporary file in the target folder, fsync, rename, fsync of the folder.
std::uint32_t copy_file(const std::string& from, const std::string& to);
// Writes data as the whole of file to, durably, the same way.
std::uint32_t write_file(const std::string& to, const std::string& data);
// Local time as "YYYY-mm-dd HH:MM:SS" or, compact, "YYYYmmddHHMMSS".
std::string local_time(std::time_t t, bool compact);
// text with control characters (line breaks, tabs, ...) replaced by blanks.
std::string one_line(const std::string& text);

}  // namespace eda
