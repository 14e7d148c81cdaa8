// One whole save of a 2000-block sample station against fcssim over loopback: the database file
// holds the station's records and tables (uploaded in the batches and chunks the rules give), every
// edit file is what the sample builder computes, the TP file and its newest archive copy every
// numeric value of the station's memory (texts: TpValue).
#include <cmath>
#include <map>

#include "e2e_fcssim.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqveldtusave.h"
#include "tpfile.h"
#include "tusave_bytes.h"

namespace {

namespace fs = std::filesystem;
using e2e::read_file;
using Bytes = std::vector<std::uint8_t>;

bool SameBytes(const Bytes& a, const Bytes& b, std::size_t off, std::size_t n) {
    return off + n <= a.size() && off + n <= b.size() && std::memcmp(a.data() + off, b.data() + off, n) == 0;
}

// The value of a numeric element read from the memory as the definitions say; nothing for a text.
std::optional<double> NumberAt(const Bytes& mem, std::size_t at, const sample::Item& it) {
    const std::uint8_t* p = mem.data() + at;
    float f;
    double d;
    switch (it.dataType) {
    case 12: case 13: return tb::load_i16(p);
    case 16: case 17: case 49: return tb::load_u16(p);
    case 20: case 21: return tb::load_i32(p);
    case 24: case 25: return tb::load_u32(p);
    case 28: case 29: case 31: return std::memcpy(&f, p, 4), f;
    case 32: case 33: return std::memcpy(&d, p, 8), d;
    default: return std::nullopt;
    }
}

TEST(SaveE2E, DatabaseEditFilesAndTpFileHoldWhatTheStationHolds) {
    sample::Description d = sample::default_description();
    d.stations.resize(1);
    d.stations[0].blocks = 2000, d.stations[0].anMessages = 40;
    e2e::SampleHome home;
    ASSERT_TRUE(home.Start(d)) << "fcssim did not report its port";
    const sample::StationResult& sr = home.result->stations[0];
    const Bytes original = read_file(sr.databasePath), memory = read_file(sr.memoryPath);
    const auto editFiles = sample::expected_edit_files(d, sr);
    std::size_t changedEditFiles = 0;
    for (const auto& [path, bytes] : editFiles) changedEditFiles += read_file(path) != bytes;
    const std::string trace = home.dir + "/trace.txt";
    setenv("TUSAVE_HOME", home.dir.c_str(), 1);
    setenv("TUSAVE_TRACE", trace.c_str(), 1);
    std::vector<std::string> lines;
    ws::set_message_sink([&](const char* line) { return lines.emplace_back(line), 0u; });
    const unsigned rc = QVELdFcsTuningParmSave("P1", "P2", "DEMO", sr.name.c_str(), 2, 0, 7);
    ws::set_message_sink(nullptr);
    unsetenv("TUSAVE_TRACE");
    unsetenv("TUSAVE_HOME");
    ASSERT_EQ(rc, 0u) << ::testing::PrintToString(lines);
    {
        SCOPED_TRACE("database file: the station's records and tables, uploaded in batches and chunks");
        EXPECT_EQ(e2e::starting_with(lines, "ERR:"), std::vector<std::string>{});
        const Bytes db = read_file(sr.databasePath);
        ASSERT_EQ(db.size(), original.size());
        std::size_t savedRecords = 0;
        // Batches by the rules: record 1 and the saved records of a block, at most 80 a batch,
        // a block never split; each batch's upload comes in chunks of at most 2012 bytes.
        std::vector<std::size_t> batchBytes{0};
        std::size_t inBatch = 0;
        for (const auto& b : sr.blocks) {
            if (!b.exists()) continue;
            std::size_t n = 0, bytes = 0;
            for (const auto& r : b.records) {
                if (b.fetched && r.saved) {
                    ++savedRecords;
                    EXPECT_TRUE(SameBytes(db, memory, r.offset, r.size)) << "block " << b.number << " record " << r.recNo;
                    EXPECT_FALSE(SameBytes(db, original, r.offset, r.size)) << "block " << b.number;
                } else {
                    EXPECT_TRUE(SameBytes(db, original, r.offset, r.size)) << "block " << b.number << " record " << r.recNo;
                }
                if (b.fetched && (r.saved || r.recNo == 1)) bytes += 16 + r.size;
                n += b.fetched && r.saved;
            }
            if (!b.fetched || n == 0) continue;
            if (inBatch + n + 1 > 80) batchBytes.push_back(0), inBatch = 0;
            inBatch += n + 1;
            batchBytes.back() += bytes;
        }
        EXPECT_TRUE(savedRecords > 500 && batchBytes.size() > 2) << savedRecords << " records in " << batchBytes.size() << " batches";
        for (const auto& t : sr.opeMarks)
            EXPECT_TRUE(!t.fetched || SameBytes(db, memory, t.offset, t.size)) << "operation marks of kind " << t.kind;

        // The frames, from the step trace.
        std::ifstream in(trace);
        std::size_t uploadFrames = 0, saveGroups = 0, wantFrames = 0, wantGroups = 0;
        bool inSave = false;
        for (std::string line; std::getline(in, line);) {
            const bool save = line.find(" TuSaveReq blkNo = ") != std::string::npos;
            saveGroups += save && !inSave;
            inSave = save;
            uploadFrames += line.find(" TuUpLoadReq areaNo = 1") != std::string::npos;
        }
        for (std::size_t bytes : batchBytes) wantFrames += (bytes + 2011) / 2012, wantGroups += bytes > 0;
        EXPECT_EQ((std::pair{saveGroups, uploadFrames}), (std::pair{wantGroups, wantFrames}));
    }
    {
        SCOPED_TRACE("every edit file as the station holds it");
        // Most files change; some (blocks the save does not list) must not.
        EXPECT_TRUE(changedEditFiles > editFiles.size() / 2 && changedEditFiles < editFiles.size()) << changedEditFiles;
        EXPECT_GT(std::count_if(editFiles.begin(), editFiles.end(), [](const auto& f) { return f.first.ends_with(".wkf"); }),
                  50);
        for (const auto& [path, bytes] : editFiles) {
            const Bytes got = read_file(path);
            EXPECT_TRUE(got == bytes) << path << " differs first at byte "
                                      << std::mismatch(got.begin(), got.end(), bytes.begin(), bytes.end()).first - got.begin();
        }
        // No temporary left beside the files.
        for (const auto& e : fs::recursive_directory_iterator(home.result->projectDir))
            EXPECT_FALSE(e.path().filename().string().ends_with(".tmp")) << e.path();
    }
    SCOPED_TRACE("TP file: the station's values, and its newest archive copy");
    const sample::Station& station = d.stations[0];
    const std::string tpDir = home.result->projectDir + "/FCS0101/TP";
    const std::string tp = e2e::read_text(tpDir + "/tuning.tps");
    EXPECT_EQ(tp.find('\r'), std::string::npos);
    const tpfile::File f = tpfile::parse(tp, "tuning.tps");
    std::map<int, const tpfile::Block*> byBlock;
    for (const tpfile::Block& x : f.blocks) byBlock[x.blockNo] = &x;

    int seq = 0, written = 0, values = 0;
    for (const sample::BlockInfo& b : sr.blocks) {
        if (!b.exists() || !b.fetched) {
            EXPECT_FALSE(byBlock.count(b.number)) << "block " << b.number;
            continue;
        }
        ++seq;
        const auto model = std::find_if(station.models.begin(), station.models.end(),
                                        [&](const sample::Model& m) { return m.blockCode == b.code; });
        ASSERT_NE(model, station.models.end());
        // Expected assignments (label, item, element offset in the memory).
        std::vector<std::string> labels;
        std::vector<std::pair<const sample::Item*, std::size_t>> elems;
        for (const sample::Item& it : model->items) {
            const auto rec = std::find_if(b.records.begin(), b.records.end(),
                                          [&](const sample::RecordInfo& r) { return r.recNo == it.recNo; });
            if (rec == b.records.end() || !rec->saved) continue;
            const bool two = it.dim2 > 1, one = !two && it.dim1 > 1;
            for (int i = 1; i <= it.dim1; ++i)
                for (int j = 1; j <= it.dim2; ++j) {
                    labels.push_back(two ? it.name + "[" + std::to_string(i) + "," + std::to_string(j) + "]"
                                     : one ? it.name + "[" + std::to_string(i) + "]"
                                           : it.name);
                    const std::size_t k = static_cast<std::size_t>((i - 1) * it.dim2 + (j - 1));
                    elems.push_back({&it, rec->offset + it.offset + k * static_cast<std::size_t>(it.elemSize)});
                }
        }
        if (elems.empty()) {
            EXPECT_FALSE(byBlock.count(b.number)) << "block " << b.number;
            continue;
        }
        ASSERT_TRUE(byBlock.count(b.number)) << "block " << b.number;
        const tpfile::Block& line = *byBlock[b.number];
        ++written;
        static const std::map<int, std::string> kCategory = {{0, "NON CATEGORY"}, {1, "ADL"}, {2, "TR-SS"},
                                                             {15, "SYSTEM"}};
        const std::string location = kCategory.count(b.category) ? kCategory.at(b.category)
                                     : b.parent ? sr.blocks.at(static_cast<std::size_t>(b.parent - 1)).location
                                                : b.location;
        EXPECT_EQ(std::tie(line.seq, line.location, line.tag, line.model), std::tuple(seq, location, b.tag, model->name.substr(0, 8)))
            << "block " << b.number;
        ASSERT_EQ(line.items.size(), elems.size()) << "block " << b.number;
        for (std::size_t e = 0; e < elems.size(); ++e) {
            EXPECT_EQ(line.items[e].label, labels[e]);
            if (const auto number = NumberAt(memory, elems[e].second, *elems[e].first)) {
                ASSERT_TRUE(std::isfinite(*number));
                EXPECT_NEAR(std::strtod(line.items[e].value.c_str(), nullptr), *number, 5e-7 + std::fabs(*number) * 1e-15)
                    << labels[e] << " of block " << b.number;
                ++values;
            }
        }
    }
    EXPECT_EQ(static_cast<std::size_t>(written), byBlock.size());
    EXPECT_GT(values, 100);

    // The sample's three archive copies and the new one; the newest equals the TP file.
    std::vector<std::string> copies;
    for (const auto& e : fs::directory_iterator(tpDir))
        if (e.path().extension() == ".txt") copies.push_back(e.path().string());
    std::sort(copies.begin(), copies.end());
    ASSERT_EQ(copies.size(), 4u);
    EXPECT_EQ(e2e::read_text(copies.back()), tp);
    EXPECT_FALSE(fs::exists(tpDir + "/tuning.tps.tmp"));
}

}  // namespace
