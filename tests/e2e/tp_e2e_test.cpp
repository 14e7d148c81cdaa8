// End to end: after a whole save of a sample station against fcssim, the TP reader of the tools
// parses the TP file back; every value equals the station's memory read through the instance
// definitions, and the newest archive copy equals the TP file.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "LdTuSaveCtrl.h"
#include "e2e_fcssim.h"
#include "libqveldtusave.h"
#include "libqvecommon/qvecommon_host.h"
#include "sample.h"
#include "tpfile.h"
#include "tusave_bytes.h"

namespace {

namespace fs = std::filesystem;

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

class TpE2E : public ::testing::Test {
protected:
    void SetUp() override {
        desc_ = sample::default_description();
        desc_.stations.resize(1);
        ASSERT_TRUE(home_.Start(desc_)) << "fcssim did not report its port";
        setenv("TUSAVE_HOME", home_.dir.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TUSAVE_HOME");
        g_testMode = 0;
    }

    e2e::SampleHome home_;
    sample::Description desc_;
};

// The expected value text of element k, read from the memory as the definitions say, in the
// form the reader gives back (unescaped).
std::string Expected(const std::vector<std::uint8_t>& mem, std::size_t at, const sample::Item& it, bool& numeric,
                     double& number) {
    const std::uint8_t* p = mem.data() + at;
    numeric = true;
    switch (it.dataType) {
    case 12: case 13: number = tb::load_i16(p); break;
    case 16: case 17: case 49: number = tb::load_u16(p); break;
    case 20: case 21: number = tb::load_i32(p); break;
    case 24: case 25: number = tb::load_u32(p); break;
    case 28: case 29: case 31: {
        float f;
        std::memcpy(&f, p, 4);
        number = f;
        break;
    }
    case 32: case 33: std::memcpy(&number, p, 8); break;
    default: {
        numeric = false;
        const std::size_t n = static_cast<std::size_t>(it.elemSize);
        const auto* nul = static_cast<const std::uint8_t*>(std::memchr(p, 0, n));
        const std::string raw(reinterpret_cast<const char*>(p), nul ? static_cast<std::size_t>(nul - p) : n);
        if (it.dataType == 8) return EucToCp932(raw);
        if (it.dataType == 60) return raw;
        return "";
    }
    }
    return "";
}

TEST_F(TpE2E, TpFileHoldsTheStationsValuesAndItsNewestArchiveCopy) {
    ASSERT_EQ(QVELdFcsTuningParmSave("P1", "P2", "DEMO", "FCS0101", 2, 0, 7), 0u);
    const sample::StationResult& sr = home_.result->stations[0];
    const sample::Station& st = desc_.stations[0];
    const std::vector<std::uint8_t> mem = e2e::read_file(sr.memoryPath);
    const std::string tpDir = home_.result->projectDir + "/FCS0101/TP";
    const auto bytes = e2e::read_file(tpDir + "/tuning.tps");
    const std::string tp(bytes.begin(), bytes.end());

    EXPECT_EQ(tp.find('\r'), std::string::npos);
    const tpfile::File f = tpfile::parse(tp, "tuning.tps");
    std::map<int, const tpfile::Block*> byBlock;
    for (const tpfile::Block& x : f.blocks) byBlock[x.blockNo] = &x;

    auto block = [&](int n) -> const sample::BlockInfo& { return sr.blocks.at(static_cast<std::size_t>(n - 1)); };
    int seq = 0, written = 0, values = 0, texts = 0;
    for (const sample::BlockInfo& b : sr.blocks) {
        if (!b.exists() || !b.fetched) {
            EXPECT_FALSE(byBlock.count(b.number)) << "block " << b.number;
            continue;
        }
        ++seq;
        const auto model = std::find_if(st.models.begin(), st.models.end(),
                                        [&](const sample::Model& m) { return m.blockCode == b.code; });
        ASSERT_NE(model, st.models.end());
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
                                     : b.parent ? block(b.parent).location
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
            const std::string expected = Expected(mem, elems[e].second, *elems[e].first, numeric, number);
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
    EXPECT_EQ(e2e::read_file(copies.back()), bytes);
    EXPECT_FALSE(fs::exists(tpDir + "/tuning.tps.tmp"));
}

}  // namespace
