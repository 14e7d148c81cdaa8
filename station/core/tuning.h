// Changing a tuning value in a station's memory, by tag and item label, as an engineer does on
// a running station: the item is found through the station's instance definitions (the model
// of the block's code) and written in the memory's layout (little-endian).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "libqverxgen/inst_def.h"

namespace fcs {

struct TuningError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct TuningChange {
    int blockNo = 0;
    std::string model;
    std::string label;      // as the TP file shows it: "SV", "K[2]", "MAT[1,2]"
    std::string oldValue;   // as the TP file writes it
    std::string newValue;
};

// Sets item `label` ("NAME", "NAME[i]", "NAME[i,j]", i and j from 1) of the block tagged `tag`
// in memory to value: a number for the integer and float types, a text of at most the element's
// size (printable ASCII) for the text types. Throws TuningError naming what is not there or not
// acceptable; memory is changed only on success.
TuningChange set_tuning_value(std::vector<std::uint8_t>& memory, const instdef::Definitions& defs,
                              const std::string& tag, const std::string& label, const std::string& value);

}  // namespace fcs
