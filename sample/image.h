// The station database image of one station and the simulated station's memory beside it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sample.h"

namespace sample::detail {

struct StationImages {
    std::vector<std::uint8_t> project;  // the project's station database file
    std::vector<std::uint8_t> memory;   // the station's memory: other tuning values
    StationResult info;                 // layout facts (paths are filled by the caller)
};

// Effective I/O bus types as the save takes them: bus 1 defaults to 1, bus 2 to 0xFFFF.
unsigned bus_type(const Station& s, int bus);

StationImages build_images(const Description& d, const Station& s);

// The block that heads the edit file of each block (codes[i]: code of block i + 1, 0 for none):
// a block of code 6226 or 6227 joins the file of a block at most 3 numbers below it in its
// drawing (at most 3 such blocks per file); every other block heads a file of its own.
std::vector<int> edit_file_heads(const Station& s, const std::vector<std::uint16_t>& codes);

// The edit files of a station (block edit files, working copies, the station's edit file,
// the AN message file) as (path, bytes), consistent with the image; fills their places into
// info and the blocks' file names. stationDir: the station's folder in the project.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> edit_files(const Description& d, const Station& s,
                                                                          const StationImages& img,
                                                                          const std::string& stationDir,
                                                                          StationResult& info);

}  // namespace sample::detail
