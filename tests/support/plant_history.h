// A synthetic plant history recorded through the history database's own calls: stations whose
// saves change known values, for the report page's tests and its benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history.h"

namespace plant_history {

// One block of a TP file: number, tag, model and its items (label, value).
struct Block {
    int no;
    std::string tag, model;
    std::vector<std::pair<std::string, std::string>> items;
};

inline std::string tp_text(const std::vector<Block>& blocks, std::int64_t time) {
    std::string t = ":::SOURCE\n" + std::to_string(time) + ":synthetic;\n";
    for (const Block& b : blocks) {
        t += std::to_string(b.no) + ":FPAR:" + std::to_string(b.no) + ":DR0001:" + b.tag + ":" + std::to_string(b.no) +
             ":" + b.model + ":";
        for (std::size_t i = 0; i < b.items.size(); ++i)
            t += (i ? "," : "") + b.items[i].first + "=" + b.items[i].second;
        t += ";\n";
    }
    return t + "::::SOURCE\n";
}

// Records a save of station at time: done with the TP file blocks (the values against the last
// one recorded, *before), or failed with result and no file.
inline void record_save(history::Database& db, const std::string& station, std::int64_t time,
                        const std::vector<Block>* blocks, history::TpFile* before, std::uint32_t result = 0,
                        const std::string& user = "engineer") {
    history::SaveStart st;
    st.station = station, st.mode = 2, st.started = {time, 0}, st.user = user, st.host = "ews01";
    st.program = "tusave";
    const std::int64_t id = db.begin(st);
    history::SaveEnd e;
    e.ended = {time + 5, 0}, e.result = result, e.seconds = 5;
    if (!blocks) return db.finish_plain(id, e);
    history::TpFile after;
    after.exists = true, after.bytes = tp_text(*blocks, time), after.sha256 = history::sha256_hex(after.bytes);
    after.path = "/synthetic/" + station + "/TP/tuning.tps";
    db.finish(id, e, before->exists ? before : nullptr, &after);
    *before = std::move(after);
}

}  // namespace plant_history
