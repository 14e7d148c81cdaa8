// The sample builder: its description loader, the station database image and memory it writes
// (walked by a reader written from the layout independently of the builder, every access
// checked). Its instance definitions: every item's labels in SaveE2E's TP file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "project_files.h"
#include "sample.h"
#include "tusave_bytes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct TempDir {
    std::string path = (std::filesystem::temp_directory_path() / "tusave-sample-XXXXXX").string();
    TempDir() { EXPECT_TRUE(mkdtemp(path.data())); }
    ~TempDir() { std::error_code ec; std::filesystem::remove_all(path, ec); }
    std::string operator/(const std::string& rel) const { return path + "/" + rel; }
};

using project_files::read_file;

// The default sample, built once.
struct Default {
    TempDir dir;
    sample::Description d = sample::default_description();
    sample::Result r = sample::build(d, dir.path);
};
const Default& def() { static Default s; return s; }

// Station address -> file offset of a whole table of len bytes, or nothing.
struct Image {
    Bytes bytes;
    std::uint32_t base = 0;
    explicit Image(Bytes b) : bytes(std::move(b)) {
        auto cnst = tb::get_u32(bytes, 0x240);
        base = cnst ? *cnst - 0x100 : 0;
    }
    std::uint16_t u16(std::size_t off) const { return tb::get_u16(bytes, off).value(); }
    // Follows the u32 at off to a table of len bytes.
    std::optional<std::size_t> follow(std::size_t off, std::size_t len) const {
        auto a = tb::get_u32(bytes, off);
        const std::size_t to = a && *a > base ? 0x200 + std::size_t(*a - base) : 0;
        return to && tb::in_range(bytes.size(), to, len) ? std::optional(to) : std::nullopt;
    }
};

template <class F>
std::string error_of(F f) {
    try { f(); } catch (const sample::Error& e) { return e.what(); }
    return "(accepted)";
}

// Malformed descriptions are refused naming the file and the key, models whose instance or item
// names cannot be held naming the model; missing keys take their defaults and the full form
// round-trips.
TEST(SampleDescription, RefusesMalformedInputNamingTheFileAndTakesDefaults) {
    TempDir t;
    const std::string f = t / "desc.json";
    auto load_error = [](const std::string& path) { return error_of([&] { sample::load_description(path); }); };
    EXPECT_EQ(t / "none.json" + ": cannot open the description", load_error(t / "none.json"));
    std::ofstream(f) << "{\"seed\": 1,";
    EXPECT_EQ(0u, load_error(f).find(f + ": not valid JSON: "));

    const std::string m = R"({"stations":[{"models":[{"blockCode":)";
    const std::pair<std::string, const char*> cases[] = {
        {R"({"stations":[{"blockz":3}]})", "stations[0].blockz: unknown key"},
        {R"({"stations":[{"blocks":40000}]})", "stations[0].blocks: expected an integer from 0 to 32767"},
        {R"({"stations":[{"number":3},{"number":3}]})", "stations[1].number: station number appears twice"},
        {R"({"stations":[{"name":"../x"}]})", "stations[0].name: not a plain name of 1 to 16 characters"},
        {m + R"(7,"name":"M","records":[{"recNo":1,"size":32},{"recNo":2,"size":16}],"savedRecords":[1]}]}]})",
         "stations[0].models[0].savedRecords[0]: record 1 is always fetched and never saved"},
        {m + R"(7,"name":"M","records":[{"recNo":1,"size":32},
             {"recNo":2,"size":16,"fields":[{"offset":12,"width":4,"count":2}]}],"savedRecords":[2]}]}]})",
         "stations[0].models[0].records[1].fields[0]: field does not lie inside the record's 16 bytes"},
        {m + R"(7,"name":"M","records":[{"recNo":2,"size":16}],"savedRecords":[2]}]}]})",
         "stations[0].models[0].records: record 1 (the block's identity) is missing"},
        {m + R"(6226,"name":"M","records":[{"recNo":1,"size":32},{"recNo":2,"size":100}],"savedRecords":[2]}]}]})",
         "stations[0].models[0].records[1].size: record 2 of this block code holds the parent block number: at least 180 bytes"},
        {m + R"(7,"name":"M","records":[{"recNo":1,"size":32}],"savedRecords":[2,3,4,5,6,7,8,9,10]}]}]})",
         "stations[0].models[0].savedRecords: expected 1 to 8 record numbers"},
        {R"([1,2])", "expected an object"},
    };
    for (const auto& [json, tail] : cases) {
        std::ofstream(f, std::ios::trunc) << json;
        EXPECT_EQ(f + ": " + tail, load_error(f)) << json;
    }

    std::ofstream(t / "d.json") << R"({"seed": 7, "stations": [{"blocks": 5, "anMessages": 2}]})";
    const sample::Description d = sample::load_description(t / "d.json");
    ASSERT_EQ(1u, d.stations.size());
    EXPECT_EQ(std::tuple(d.seed, d.stations[0].name, d.stations[0].blocks, d.stations[0].models.size()),
              std::tuple(7u, "FCS0101", 5, sample::default_description().stations[0].models.size()));
    auto full = sample::description_to_json(sample::default_description());
    std::ofstream(t / "full.json") << full.dump();
    EXPECT_EQ(full, sample::description_to_json(sample::load_description(t / "full.json")));

    sample::Station s = sample::default_description().stations[0];
    auto err = [&] { return error_of([&] { sample::instdef_json(s); }); };
    EXPECT_EQ("(accepted)", err());
    s.models.push_back(s.models[1]);  // "INDICATOR"
    s.models.back().blockCode = 0x7777, s.models.back().name = "INDICATORS";
    EXPECT_EQ("FCS0101: model \"INDICATORS\" (block code 0x7777): instance name \"INDICATO\" is also that of model \"INDICATOR\"",
              err());
    s.models.pop_back();
    s.models[0].items[0].name = "TOOLONGNM";
    EXPECT_EQ("FCS0101: model \"PIDLOOP\" (block code 0x1852): item \"TOOLONGNM\" is not a name of 1 to 8 characters", err());
}

// The default sample holds every kind of block the save treats apart, so that the end-to-end
// tests meet them: the special codes, the categories, empty entries and blocks of code 0. Each
// block's parent (codes 5122, 6226, 6227) is an existing block, read from record 2's bytes.
// The oracle of the end-to-end tests: the memory differs from the project exactly in the
// tuning bytes of saved records and in the operation-mark tables.
TEST(SampleImage, DefaultSampleHoldsEveryKindOfBlockAndItsMemoryDiffersExactlyInSavedRecords) {
    std::set<int> codes, categories, withParent;
    int empty = 0, codeZero = 0;
    for (const auto& sr : def().r.stations) {
        SCOPED_TRACE(sr.name);
        const Image img(read_file(sr.databasePath));
        const Bytes& proj = img.bytes;
        const Bytes mem = read_file(sr.memoryPath);
        ASSERT_TRUE(!proj.empty() && proj.size() == mem.size()) << proj.size() << " " << mem.size();
        std::vector<bool> mayDiffer(proj.size(), false);
        auto mark = [&](std::size_t from, std::size_t to) { std::fill(mayDiffer.begin() + from, mayDiffer.begin() + to, true); };
        std::size_t saved = 0;
        for (const auto& b : sr.blocks) {
            const bool parented = b.code == 5122 || b.code == 6226 || b.code == 6227;
            for (const auto& r : b.records) {
                if (&sr == &def().r.stations[0] && b.exists() && parented && r.recNo == 2) {
                    const std::uint16_t parent = img.u16(r.offset + 0xB2);
                    const sample::BlockInfo& p = sr.blocks.at(parent - 1u);   // 6226/6227 may head their own file
                    EXPECT_TRUE(p.number == parent && p.exists() && (parent != b.number || b.code != 5122) && b.parent == parent)
                        << "block " << b.number << " parent " << parent << " (recorded " << b.parent << ")";
                    withParent.insert(b.number);
                }
                if (!r.saved) continue;
                ++saved;
                EXPECT_NE(1, r.recNo);
                mark(r.offset + 4, r.offset + r.size);
                if (r.recNo == 2 && parented) mayDiffer[r.offset + 0xB2] = mayDiffer[r.offset + 0xB3] = false;  // parent kept
            }
            if (&sr != &def().r.stations[0]) continue;
            empty += b.empty;
            codeZero += !b.empty && b.code == 0;
            if (b.exists()) codes.insert(b.code), categories.insert(b.category);
            EXPECT_TRUE(!b.exists() || !parented || withParent.count(b.number)) << "block " << b.number << " has no record 2";
        }
        for (const auto& t : sr.opeMarks) mark(t.offset, t.offset + t.size);
        ASSERT_GT(saved, 0u);
        std::size_t unexpected = 0, same = 0;
        for (std::size_t i = 0; i < proj.size(); ++i) {
            if (!mayDiffer[i]) unexpected += proj[i] != mem[i];
            else same += proj[i] == mem[i];
        }
        EXPECT_EQ(0u, unexpected) << "bytes outside saved records and tables differ";
        EXPECT_EQ(0u, same) << "tuning bytes left equal";
        EXPECT_NE(sr.uaids, sr.stationUaids);
    }
    for (int c : {5122, 6226, 6227, 6266, 6267}) EXPECT_TRUE(codes.count(c)) << c;
    for (int c : {0, 1, 2, 15}) EXPECT_TRUE(categories.count(c)) << "category " << c;
    EXPECT_TRUE(empty > 0 && codeZero > 0) << empty << " empty, " << codeZero << " of code 0";
}

// The same seed gives the same bytes, another seed other data; an empty area and no AN messages
// still resolve.
TEST(SampleBuild, SameSeedSameBytesOtherSeedOtherDataEmptyAreaResolves) {
    TempDir b, c, e;
    const sample::Result& ra = def().r;
    sample::Description d = sample::default_description();
    auto rb = sample::build(d, b.path);
    ASSERT_EQ(ra.files.size(), rb.files.size());
    for (std::size_t i = 0; i < ra.files.size(); ++i) {
        const std::string rel = ra.files[i].substr(ra.dir.size());
        ASSERT_EQ(rel, rb.files[i].substr(rb.dir.size()));
        EXPECT_TRUE(std::filesystem::is_regular_file(ra.files[i]) && read_file(ra.files[i]) == read_file(rb.files[i]))
            << rel << " differs between two builds";
    }
    d.seed = 2;
    auto rc = sample::build(d, c.path);
    EXPECT_FALSE(read_file(ra.stations[0].databasePath) == read_file(rc.stations[0].databasePath));
    EXPECT_FALSE(read_file(ra.stations[0].memoryPath) == read_file(rc.stations[0].memoryPath));

    d.stations.resize(1);
    d.stations[0].blocks = 0, d.stations[0].anMessages = 0;
    auto r = sample::build(d, e.path);
    Image img(read_file(r.stations[0].databasePath));
    auto area = img.follow(0x280, 0x300).value();
    EXPECT_EQ(0, img.u16(area + 0x200 + 0x40));
    // The root-table lookups need BldbPtrTbl and the UAID array even when both are empty.
    auto bpt = img.follow(area + 0x0C, 0x10).value();
    EXPECT_TRUE(img.follow(bpt + 0x08, 0));
    auto an = img.follow(area + 0x24, 0x40).value();
    EXPECT_TRUE(img.follow(an + 0x20, 0));
    for (const auto& t : r.stations[0].opeMarks) EXPECT_TRUE((t.kind != 12 && t.kind != 31 && t.kind != 58) || !t.fetched) << t.kind;
}

}  // namespace
