// The station database image of one station and the simulated station's memory beside it.
#pragma once

#include <cstdint>
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

}  // namespace sample::detail
