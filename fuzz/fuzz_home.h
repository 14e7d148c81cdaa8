// What the fuzz targets share: one sample workstation per process in a temporary folder
// (removed at exit), the library's context initialised over it, lines discarded, sleeps
// virtual, and the check that an input left no buffer of the memory service behind.
#pragma once

#include <stdlib.h>

#include <cstdio>

#include <nlohmann/json.hpp>

#include "LdTuSaveCtrl.h"
#include "ZclNthmi/zcl_host.h"
#include "failpoint/failpoint.h"
#include "libqvecommon/qvecommon_host.h"
#include "port/port_host.h"
#include "project_files.h"
#include "sample.h"

namespace fuzzhome {

using project_files::read_file;
inline void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                  static_cast<std::streamsize>(size));
}

// The station of every target: the first sample station, small, host order, under test.
inline sample::Description description() {
    sample::Description d = sample::default_description();
    d.stations.resize(1);
    sample::Station& s = d.stations[0];
    s.blocks = 24, s.emptyEvery = 7, s.codeZeroEvery = 11, s.anMessages = 6, s.underTest = true, s.byteOrder = "host";
    return d;
}

constexpr const char* kProject = "DEMO";
constexpr const char* kBus = "fuzz";

// Lines discarded, no resource texts: for targets that need no workstation folder.
inline bool quiet() {
    ws::set_message_sink([](const char*) { return 0u; });
    port::set_string_table({});
    return true;
}

// A temporary folder (under TMPDIR, else /tmp), removed with the object.
struct TempDir {
    std::string dir = (std::filesystem::temp_directory_path() / "tusave_fuzz_XXXXXX").string();
    TempDir() { if (!mkdtemp(dir.data())) std::abort(); }
    ~TempDir() { std::error_code ec; std::filesystem::remove_all(dir, ec); }
};

// The temporary folder with the built sample, and the library's context over it. The library
// reads its settings and the instance definitions again on every call: the same texts without
// indentation take a fraction of the parsing time of each input.
struct Home {
    TempDir tmp;
    std::string dir = tmp.dir;
    sample::Result result;
    const sample::StationResult* st = nullptr;
    LdTuSaveCtrlInf inf;

    Home() {
        setenv("TUSAVE_HOME", dir.c_str(), 1);
        setenv("TUSAVE_FIXED_TIME", "1767225600", 1);
        quiet();
        result = sample::build(description(), dir);
        st = &result.stations[0];
        nlohmann::json w = nlohmann::json::parse(std::ifstream(result.workstationJson));
        w["controlBus"] = std::string("inproc:") + kBus;
        std::ofstream(result.workstationJson, std::ios::trunc) << w.dump(2);
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
            if (!e.is_regular_file() || e.path().extension() != ".json") continue;
            const auto j = nlohmann::ordered_json::parse(std::ifstream(e.path()), nullptr, false);
            if (!j.is_discarded()) std::ofstream(e.path(), std::ios::trunc) << j.dump();
        }
        failpoint::reset();
        failpoint::arm("Sleep", 0, 1, true);
        if (LdTuSaveCtrlInit("", "", kProject, st->name.c_str(), 2, 0, 0, &inf) != 0) std::abort();
    }
    ~Home() { LdTuSaveCtrlEnd(&inf, 0); }
};

// Built on first use, removed when the process ends.
inline Home& home() {
    static Home h;
    return h;
}

// Live buffers of the memory service allocated in source (a file name), as the leak report
// names them.
inline std::size_t live_buffers_of(const char* source) {
    std::size_t n = 0;
    for (const std::string& site : ws::live_allocation_sites()) n += site.find(source) != std::string::npos;
    return n;
}

// Aborts when an input left buffers of the memory service allocated. keep, when given, counts
// the buffers a target keeps on purpose from one input to the next.
struct LeakCheck {
    std::size_t (*keep)() = nullptr;
    std::size_t live = ws::live_allocations(), before = keep ? live - keep() : live;
    ~LeakCheck() {
        const std::size_t now = ws::live_allocations();
        if (now == live) return;   // the same buffers: no need to ask which
        const std::size_t left = keep ? now - keep() : now;
        if (left == before) return;
        std::fprintf(stderr, "fuzz: %zd buffer(s) of the memory service left allocated\n",
                     static_cast<std::ptrdiff_t>(left - before));
        for (const std::string& site : ws::live_allocation_sites()) std::fprintf(stderr, "  %s\n", site.c_str());
        std::abort();
    }
};

}  // namespace fuzzhome
