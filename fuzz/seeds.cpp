// Writes the seed corpora of the fuzz targets into DIR/<target>/ (DIR: fuzz/corpus):
//   upload    the replies of the simulated station to whole uploads under several scenarios,
//             in host order and in the station's order
//   image     the sample station database file and variants of other descriptions
//   editfile  the sample's block edit files, station edit file and AN message file
//   valuefmt  one item of every data type code over the sample record bytes
//   readers   the sample's instance definitions, settings, configuration, user instance file
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/station.h"
#include "fuzz_home.h"
#include "tusave.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

fs::path g_out;

void put(const std::string& target, const std::string& name, const Bytes& b) {
    fs::create_directories(g_out / target);
    fuzzhome::write_file((g_out / target / name).string(), b.data(), b.size());
}

Bytes with_prefix(std::initializer_list<std::uint8_t> prefix, const Bytes& b) {
    Bytes out(prefix);
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Runs one upload of the home's station against its simulator core; the replies it gave,
// in the upload target's input format.
Bytes upload_replies(fuzzhome::Home& h, const std::string& scenario, bool bigEndian) {
    fcs::Config cfg = fcs::load_config(fs::path(h.st->stationJsonPath).parent_path().string());
    std::string err;
    auto sc = fcs::Scenario::parse(scenario, err);
    if (!sc) throw std::runtime_error("scenario: " + err);
    cfg.scenario = *sc;
    cfg.bigEndian = bigEndian;
    fcs::Station station(std::move(cfg));
    Bytes out{static_cast<std::uint8_t>(bigEndian ? 1 : 0)};
    zcl::register_inproc(fuzzhome::kBus, [&](std::span<const std::uint8_t> req) -> std::optional<zcl::Frame> {
        fcs::Reply r = station.handle(req);
        out.push_back(static_cast<std::uint8_t>(r.frame.size() & 0xFF));
        out.push_back(static_cast<std::uint8_t>(r.frame.size() >> 8));
        out.insert(out.end(), r.frame.begin(), r.frame.end());
        return r.frame;
    });
    Bytes image = fuzzhome::read_file(h.st->databasePath);
    Bytes userInst = fuzzhome::read_file(h.st->userInstPath);
    LdTuSaveRecordTbl saved;
    g_testMode = bigEndian ? 0 : 1;
    const int rc = TuFcsUpLoad("", "", fuzzhome::kProject, h.st->name.c_str(), 2, 0, image.data(), userInst.data(),
                               &h.inf.sysObj, &saved, 0, static_cast<std::uint32_t>(image.size()));
    zcl::unregister_inproc(fuzzhome::kBus);
    std::printf("upload %-60.60s big=%d rc=%d saved=%zu bytes=%zu\n", scenario.c_str(), bigEndian, rc, saved.size(),
                out.size());
    return out;
}

void upload_seeds(fuzzhome::Home& h) {
    const std::vector<std::string> scenarios = {
        "{}",
        R"({"chunkSize": 700})",
        R"({"rules": [{"command": "save", "status": 22, "times": 1}]})",
        R"({"rules": [{"command": "upload", "result": "0x9642", "times": 2}]})",
        R"({"rules": [{"command": "start", "area": 1, "result": "0x9412"}]})",
        R"({"rules": [{"command": "upload", "nth": 2, "chunk": 300}]})",
        R"({"rules": [{"command": "upload", "nth": 3, "truncate": 100}]})",
        R"({"items": [{"block": 2, "record": 3, "status": "0x9413"}, {"kind": 10, "status": "0x9412"}]})",
        R"({"record1": [{"block": 3, "tag": "OTHER", "blockCode": "0x1900"}]})",
        R"({"recordSizes": [{"block": 2, "record": 2, "size": 64}]})",
        R"({"rules": [{"command": "end", "truncate": 20}]})",
    };
    int n = 0;
    for (const std::string& s : scenarios)
        for (bool big : {false, true}) {
            char name[32];
            std::snprintf(name, sizeof name, "seed-%02d", n++);
            put("upload", name, upload_replies(h, s, big));
        }
}

void image_seeds(fuzzhome::Home& h) {
    put("image", "seed-sample", fuzzhome::read_file(h.st->databasePath));
    // Other shapes of station: no AN messages, other I/O buses, few blocks.
    int n = 0;
    for (int variant = 0; variant < 3; ++variant) {
        sample::Description d = fuzzhome::description();
        sample::Station& s = d.stations[0];
        s.blocks = 8 + 4 * variant;
        s.anMessages = variant == 0 ? 0 : 3;
        s.emptyEvery = variant == 1 ? 0 : 3;
        d.seed = static_cast<std::uint64_t>(variant + 2);
        if (variant == 2) s.ioBusTypes = {4, 1};
        fuzzhome::TempDir tmp;
        sample::Result r = sample::build(d, tmp.dir);
        put("image", "seed-variant-" + std::to_string(n++), fuzzhome::read_file(r.stations[0].databasePath));
    }
}

void editfile_seeds(fuzzhome::Home& h) {
    int n = 0;
    for (const sample::EditFileInfo& f : h.st->editFiles) {
        if (n >= 8) break;
        const std::uint8_t entry = static_cast<std::uint8_t>(n);
        put("editfile", "seed-block-" + std::to_string(n++), with_prefix({0, entry}, fuzzhome::read_file(f.path)));
    }
    put("editfile", "seed-station", with_prefix({1, 0}, fuzzhome::read_file(h.st->stationEditPath)));
    put("editfile", "seed-station-2", with_prefix({1, 3}, fuzzhome::read_file(h.st->stationEditPath)));
    put("editfile", "seed-an", with_prefix({2, 0}, fuzzhome::read_file(h.st->anMsgPath)));
}

void valuefmt_seeds(fuzzhome::Home& h) {
    const Bytes image = fuzzhome::read_file(h.st->databasePath);
    // The record bytes: record 2 of the first block that has one.
    Bytes rec(64, 0x41);
    for (const sample::BlockInfo& b : h.st->blocks)
        for (const sample::RecordInfo& r : b.records)
            if (r.recNo == 2 && rec.size() == 64 && r.offset + r.size <= image.size())
                rec.assign(image.begin() + static_cast<long>(r.offset), image.begin() + static_cast<long>(r.offset + r.size));
    struct T {
        std::uint8_t code, size;
        std::uint16_t dim1, dim2;
    };
    const T types[] = {{12, 2, 0, 0}, {16, 2, 4, 0}, {20, 4, 0, 0}, {24, 4, 2, 2}, {28, 4, 0, 0}, {32, 8, 0, 0},
                       {13, 8, 0, 0}, {17, 8, 0, 0}, {21, 8, 0, 0}, {25, 8, 0, 0}, {29, 8, 0, 0}, {33, 16, 0, 0},
                       {31, 16, 0, 0}, {49, 8, 0, 0}, {8, 16, 2, 0}, {60, 16, 0, 0}, {99, 4, 0, 0}};
    int n = 0;
    for (const T& t : types) {
        Bytes b(14, 0);
        b[0] = t.code;
        b[1] = t.size;
        b[2] = 2;
        tb::store_u16(b.data() + 3, 8);
        tb::store_u16(b.data() + 5, t.dim1);
        tb::store_u16(b.data() + 7, t.dim2);
        tb::store_u32(b.data() + 9, static_cast<std::uint32_t>(rec.size()));
        b.insert(b.end(), rec.begin(), rec.end());
        if (t.code == 8) {   // a text with the characters the writer escapes, and a double-byte one
            const char s[] = "A,B:C;D\\E\xA4\xA2";
            std::copy(s, s + sizeof s - 1, b.begin() + 14 + 8);
        }
        put("valuefmt", "seed-" + std::to_string(n++), b);
    }
}

void readers_seeds(fuzzhome::Home& h) {
    const fs::path db = fs::path(h.st->userInstPath).parent_path();
    put("readers", "seed-instdef", with_prefix({0}, fuzzhome::read_file((db / "instdef.json").string())));
    put("readers", "seed-workstation", with_prefix({1}, fuzzhome::read_file(h.result.workstationJson)));
    put("readers", "seed-sysconfig", with_prefix({2}, fuzzhome::read_file(h.result.sysconfigPath)));
    put("readers", "seed-userinst", with_prefix({3}, fuzzhome::read_file(h.st->userInstPath)));
    put("readers", "seed-ws-types", with_prefix({1}, text(R"({"currentProject": 5, "vrecTest": "yes"})")));
    put("readers", "seed-sys-areas",
        with_prefix({2}, text(R"({"stations": [{"name": "FCS0101", "number": 1, "areas": [{"number": 300, "name": "A"}]}]})")));
}

}  // namespace

int main(int argc, char** argv) {
    g_out = argc > 1 ? argv[1] : "fuzz/corpus";
    try {
        fuzzhome::Home& h = fuzzhome::home(false);
        upload_seeds(h);
        image_seeds(h);
        editfile_seeds(h);
        valuefmt_seeds(h);
        readers_seeds(h);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fuzz_seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
