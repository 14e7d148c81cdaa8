// What the sample gives the TP file: a model with an item of every data type code, valid
// item values in the saved records, and a TP folder with an old file and archive copies.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "image.h"
#include "sample.h"

namespace sample::detail {

// A model whose saved record holds one item of every data type code (texts with separators,
// double-byte characters whose second byte is 0x5C in the code page, a text that fills its
// size), with the record layout that agrees with the items.
Model tp_types_model();

// Writes valid values (finite floats, EUC texts) of every item in a saved record, different
// in every byte between the project and the station's memory.
void tp_item_values(const Description& d, const Station& s, StationImages& img);

// The files of a station's TP folder before any save: name and content.
std::vector<std::pair<std::string, std::string>> tp_folder_files();

}  // namespace sample::detail
