// The station's custom files and the backup tool: what build() writes for them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sample.h"

namespace sample::detail {

// The custom files of the built-in description's station number index.
std::vector<CustomFile> default_custom_files(std::size_t index);
// Throws Error (text beginning with src, then where) for a file that cannot be written as described.
void validate_custom(const Station& s, const std::string& src, const std::string& where);
// Path of a custom file below the station folder: "Custom/[<folder>/]<side>/<name>".
std::string custom_rel(const CustomFile& f);
// The content of custom file i of the station, from the seed.
std::vector<std::uint8_t> custom_bytes(const Description& d, const Station& s, std::size_t i);
// Fills info.toolFilesFcs and toolFilesSim: the files the tool backup finds below stationDir.
void tool_files(const Station& s, const std::string& stationDir, StationResult& info);
// The bytes of the backup tool program to install; throws Error when it cannot be read.
std::vector<std::uint8_t> read_program(const std::string& path);

}  // namespace sample::detail
