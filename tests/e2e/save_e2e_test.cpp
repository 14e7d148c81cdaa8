// One whole save of a 2000-block sample station against fcssim over a real loopback socket, and
// what it leaves: the database file holds the station's records and tables (uploaded in the
// batches and chunks the rules give), every edit file, working copy, the station's edit file
// and the AN message file are byte for byte what the sample builder computes, the TP file holds
// every value of the station's memory and its newest archive copy equals it.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cmath>
#include <map>

#include "e2e_fcssim.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqveldtusave.h"
#include "tpfile.h"
#include "tusave.h"
#include "tusave_bytes.h"

namespace {

namespace fs = std::filesystem;
using e2e::read_file;

class SaveE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        d_ = sample::default_description();
        d_.stations.resize(1);
        d_.stations[0].blocks = 2000, d_.stations[0].anMessages = 40;
        ASSERT_TRUE(home_.Start(d_)) << "fcssim did not report its port";
        setenv("TUSAVE_HOME", home_.dir.c_str(), 1);
        original_ = read_file(st().databasePath);
        memory_ = read_file(st().memoryPath);
        editFiles_ = sample::expected_edit_files(d_, st());
        for (const auto& [path, bytes] : editFiles_) changedEditFiles_ += read_file(path) != bytes;
        setenv("TUSAVE_TRACE", (home_.dir + ".trace").c_str(), 1);
        ws::set_message_sink([](const char* line) { return lines_.emplace_back(line), 0u; });
        rc_ = QVELdFcsTuningParmSave("P1", "P2", "DEMO", st().name.c_str(), 2, 0, 7);
        ws::set_message_sink(nullptr);
        unsetenv("TUSAVE_TRACE");
    }
    static void TearDownTestSuite() {
        fs::remove(home_.dir + ".trace");
        home_.Stop();
        unsetenv("TUSAVE_HOME");
    }
    void SetUp() override { ASSERT_EQ(rc_, 0u) << ::testing::PrintToString(lines_); }
    static const sample::StationResult& st() { return home_.result->stations[0]; }
    static bool sameBytes(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, std::size_t off,
                          std::size_t n) {
        return off + n <= a.size() && off + n <= b.size() && std::memcmp(a.data() + off, b.data() + off, n) == 0;
    }

    static inline e2e::SampleHome home_;
    static inline sample::Description d_;
    static inline std::vector<std::uint8_t> original_, memory_;
    static inline std::vector<std::pair<std::string, std::vector<std::uint8_t>>> editFiles_;
    static inline std::size_t changedEditFiles_ = 0;
    static inline std::vector<std::string> lines_;
    static inline unsigned rc_ = ~0u;
};

std::string EucToCp932(const std::string& euc) {
    iconv_t cd = iconv_open("CP932", "EUC-JP-MS");
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("CP932", "EUC-JP");
    std::string out(euc.size() * 2 + 4, '\0');
    char* in = const_cast<char*>(euc.data());
    char* o = out.data();
    std::size_t inLeft = euc.size(), outLeft = out.size();
    const bool ok = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return ok ? out : "<not convertible>";
}

// The value of an element read from the memory as the definitions say: a number, or the text
// in the form the reader gives back (unescaped).
std::string Expected(const std::vector<std::uint8_t>& mem, std::size_t at, const sample::Item& it, bool& numeric,
                     double& number) {
    const std::uint8_t* p = mem.data() + at;
    numeric = true;
    float f;
    switch (it.dataType) {
    case 12: case 13: number = tb::load_i16(p); break;
    case 16: case 17: case 49: number = tb::load_u16(p); break;
    case 20: case 21: number = tb::load_i32(p); break;
    case 24: case 25: number = tb::load_u32(p); break;
    case 28: case 29: case 31: std::memcpy(&f, p, 4), number = f; break;
    case 32: case 33: std::memcpy(&number, p, 8); break;
    default: {
        numeric = false;
        const std::size_t n = static_cast<std::size_t>(it.elemSize);
        const auto* nul = static_cast<const std::uint8_t*>(std::memchr(p, 0, n));
        const std::string raw(reinterpret_cast<const char*>(p), nul ? static_cast<std::size_t>(nul - p) : n);
        return it.dataType == 8 ? EucToCp932(raw) : it.dataType == 60 ? raw : "";
    }
    }
    return "";
}

// One save, three sections: the database file, the edit files, the TP file.
TEST_F(SaveE2E, DatabaseEditFilesAndTpFileHoldWhatTheStationHolds) {
    {
        SCOPED_TRACE("database file: the station's records and tables, uploaded in batches and chunks");
        EXPECT_EQ(e2e::starting_with(lines_, "ERR:"), std::vector<std::string>{});
        const std::vector<std::uint8_t> db = read_file(st().databasePath);
        ASSERT_EQ(db.size(), original_.size());
        std::size_t savedRecords = 0;
        // Batches by the rules: record 1 and the saved records of a block, at most 80 a batch,
        // a block never split; each batch's upload comes in chunks of at most 2012 bytes.
        std::vector<std::size_t> batchBytes{0};
        std::size_t inBatch = 0;
        for (const auto& b : st().blocks) {
            if (!b.exists()) continue;
            std::size_t n = 0, bytes = 0;
            for (const auto& r : b.records) {
                if (b.fetched && r.saved) {
                    ++savedRecords;
                    EXPECT_TRUE(sameBytes(db, memory_, r.offset, r.size)) << "block " << b.number << " record " << r.recNo;
                    EXPECT_FALSE(sameBytes(db, original_, r.offset, r.size)) << "block " << b.number;
                } else {
                    EXPECT_TRUE(sameBytes(db, original_, r.offset, r.size)) << "block " << b.number << " record " << r.recNo;
                }
                if (b.fetched && (r.saved || r.recNo == 1)) bytes += 16 + r.size;
                n += b.fetched && r.saved;
            }
            if (!b.fetched || n == 0) continue;
            if (inBatch + n + 1 > 80) batchBytes.push_back(0), inBatch = 0;
            inBatch += n + 1;
            batchBytes.back() += bytes;
        }
        EXPECT_GT(savedRecords, 500u);
        EXPECT_GT(batchBytes.size(), 2u);
        for (const auto& t : st().opeMarks)
            EXPECT_TRUE(!t.fetched || sameBytes(db, memory_, t.offset, t.size)) << "operation marks of kind " << t.kind;

        // The frames, from the step trace.
        std::ifstream in(home_.dir + ".trace");
        std::size_t uploadFrames = 0, saveGroups = 0, wantFrames = 0, wantGroups = 0;
        bool inSave = false;
        for (std::string line; std::getline(in, line);) {
            const bool save = line.find(" TuSaveReq blkNo = ") != std::string::npos;
            saveGroups += save && !inSave;
            inSave = save;
            uploadFrames += line.find(" TuUpLoadReq areaNo = 1") != std::string::npos;
        }
        for (std::size_t bytes : batchBytes) {
            wantFrames += (bytes + 2011) / 2012;
            wantGroups += bytes > 0;
        }
        EXPECT_EQ(saveGroups, wantGroups);
        EXPECT_EQ(uploadFrames, wantFrames);
    }
    {
        SCOPED_TRACE("every edit file as the station holds it");
        // Most files change; some (blocks the save does not list) must not.
        EXPECT_GT(changedEditFiles_, editFiles_.size() / 2);
        EXPECT_LT(changedEditFiles_, editFiles_.size());
        EXPECT_GT(std::count_if(editFiles_.begin(), editFiles_.end(), [](const auto& f) { return f.first.ends_with(".wkf"); }),
                  50);
        for (const auto& [path, bytes] : editFiles_) {
            const std::vector<std::uint8_t> got = read_file(path);
            ASSERT_EQ(got.size(), bytes.size()) << path;
            const auto k = std::mismatch(got.begin(), got.end(), bytes.begin()).first - got.begin();
            EXPECT_EQ(k, got.end() - got.begin()) << path << " differs first at byte " << k;
        }
        // No temporary left beside the files.
        for (const auto& e : fs::recursive_directory_iterator(home_.result->projectDir))
            EXPECT_FALSE(e.path().filename().string().ends_with(".tmp")) << e.path();
    }
    SCOPED_TRACE("TP file: the station's values, and its newest archive copy");
    const sample::StationResult& sr = st();
    const sample::Station& station = d_.stations[0];
    const std::string tpDir = home_.result->projectDir + "/FCS0101/TP";
    const auto bytes = read_file(tpDir + "/tuning.tps");
    const std::string tp(bytes.begin(), bytes.end());
    EXPECT_EQ(tp.find('\r'), std::string::npos);
    const tpfile::File f = tpfile::parse(tp, "tuning.tps");
    std::map<int, const tpfile::Block*> byBlock;
    for (const tpfile::Block& x : f.blocks) byBlock[x.blockNo] = &x;

    int seq = 0, written = 0, values = 0, texts = 0;
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
        EXPECT_EQ(line.seq, seq);
        EXPECT_EQ(line.location, location);
        EXPECT_EQ(line.tag, b.tag);
        EXPECT_EQ(line.model, model->name.substr(0, 8));
        ASSERT_EQ(line.items.size(), elems.size()) << "block " << b.number;
        for (std::size_t e = 0; e < elems.size(); ++e) {
            EXPECT_EQ(line.items[e].label, labels[e]);
            const std::string& text = line.items[e].value;
            bool numeric = false;
            double number = 0;
            const std::string expected = Expected(memory_, elems[e].second, *elems[e].first, numeric, number);
            if (numeric) {
                ASSERT_TRUE(std::isfinite(number));
                EXPECT_NEAR(std::strtod(text.c_str(), nullptr), number, 5e-7 + std::fabs(number) * 1e-15)
                    << labels[e] << " of block " << b.number;
            } else {
                EXPECT_EQ(text, expected) << labels[e] << " of block " << b.number;
                texts += elems[e].first->dataType == 8;
            }
            ++values;
        }
    }
    EXPECT_EQ(static_cast<std::size_t>(written), byBlock.size());
    EXPECT_GT(texts, 0);
    EXPECT_GT(values, 100);
    EXPECT_NE(tp.find("\x94\x5C"), std::string::npos);   // a double-byte character ending in 0x5C, unescaped

    // The sample's three archive copies and the new one; the newest equals the TP file.
    std::vector<std::string> copies;
    for (const auto& e : fs::directory_iterator(tpDir))
        if (e.path().extension() == ".txt") copies.push_back(e.path().string());
    std::sort(copies.begin(), copies.end());
    ASSERT_EQ(copies.size(), 4u);
    EXPECT_EQ(read_file(copies.back()), bytes);
    EXPECT_FALSE(fs::exists(tpDir + "/tuning.tps.tmp"));
}

}  // namespace
