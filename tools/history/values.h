// The value rows of one save, and the TP state they rebuild.
//
// A save stores, per block, either only the items whose value changed ("partial") or the
// whole block ("whole": every item it has after the save, in order, plus a row with no new
// value for each item it lost). A block that appears, disappears, changes its tag or model or
// its list of items is whole; a baseline save stores every block whole. Replaying the rows of
// the last baseline and the saves after it, in their order, gives the TP file a save wrote.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tpfile.h"

namespace history::detail {

struct Row {
    int block = 0;
    std::string_view tag, model, item;
    int position = -1;                    // index of the item in its block after the save; -1: removed
    bool whole = false;
    const std::string* oldValue = nullptr;   // nullptr: the item was not there
    const std::string* newValue = nullptr;   // nullptr: it is not there any more
};

// The rows that take a to b; with all, every block of b whole (a baseline). The rows point
// into a and b.
std::vector<Row> rows(const tpfile::File& a, const tpfile::File& b, bool all);

// Whether two TP files differ only in their head line (the time of the save).
bool same_body(std::string_view a, std::string_view b);

// Rebuilds a TP state from value rows, save by save.
class Replay {
public:
    // Starts the rows of the next save (a baseline clears what came before).
    void next_save(bool baseline);
    void apply(int block, const std::string& tag, const std::string& model, const std::string& item, int position,
               bool whole, const std::string* newValue);
    tpfile::File file() const;

private:
    struct Item {
        int position;
        std::string value;
    };
    struct Block {
        std::string tag, model;
        std::map<std::string, Item> items;
    };
    std::map<int, Block> blocks_;
    std::map<int, bool> reset_;   // whole blocks already cleared in this save
};

}  // namespace history::detail
