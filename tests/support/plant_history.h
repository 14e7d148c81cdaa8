// A synthetic plant history recorded through the history database's own calls: stations whose
// saves change known values, for the report page's tests and benchmark.
#pragma once

#include <cstdint>
#include <cstdio>
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

// A station of n blocks with ten numeric items each, saved `saves` times an hour apart from t0;
// each save after the first changes three values and every tenth save fails.
inline void fill_station(history::Database& db, const std::string& station, int nBlocks, int saves,
                         std::int64_t t0) {
    std::vector<Block> blocks;
    for (int b = 1; b <= nBlocks; ++b) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "PIC%04d", b);
        Block k{b, tag, "PIDLOOP", {}};
        for (int i = 0; i < 10; ++i) k.items.push_back({"P" + std::to_string(i), std::to_string(b * 10 + i) + ".5"});
        blocks.push_back(std::move(k));
    }
    history::TpFile before;
    std::uint32_t seed = 1;
    for (int s = 0; s < saves; ++s) {
        const std::int64_t t = t0 + 3600 * s;
        if (s % 10 == 9) {
            record_save(db, station, t, nullptr, &before, 0x20234104);
            continue;
        }
        for (int k = 0; s > 0 && k < 3; ++k) {
            seed = seed * 1103515245u + 12345u;
            auto& item = blocks[(seed >> 8) % blocks.size()].items[(seed >> 20) % 10];
            item.second = std::to_string((seed >> 4) % 100000) + ".25";
        }
        record_save(db, station, t, &blocks, &before);
    }
}

}  // namespace plant_history
