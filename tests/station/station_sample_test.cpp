// The simulated station over a station written by the sample builder: every record of every
// block and every operation-mark table comes back equal to the memory file's bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "libqvebc2fcs.h"
#include "libqvecommon.h"
#include "sample.h"
#include "station_test_image.h"

namespace {

namespace fs = std::filesystem;
using namespace stest;

Bytes slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct MemBuf {
    explicit MemBuf(const Bytes& b) {
        p = __QVEEngMalloc(b.size(), "station_sample_test", __LINE__);
        std::memcpy(p, b.data(), b.size());
    }
    ~MemBuf() { __QVEEngFree(p, "station_sample_test", __LINE__); }
    void* p;
};

// Save request and upload; the data in station order.
Bytes fetch(Client& c, std::uint8_t area, const std::vector<Para>& params) {
    Answer s = c.request(0x21, 3, area, params);
    EXPECT_EQ(s.result, 0);
    std::uint32_t size = c.u32_body(s);
    Bytes data;
    while (data.size() < size) {
        Answer u = c.request(0x24, 3, area);
        EXPECT_EQ(u.result, 0);
        if (u.result != 0 || u.body.empty()) break;
        EXPECT_LE(u.body.size(), 2012u);
        data.insert(data.end(), u.body.begin(), u.body.end());
    }
    EXPECT_EQ(data.size(), size);
    return data;
}

class SampleStation : public ::testing::TestWithParam<const char*> {};

TEST_P(SampleStation, RecordsAndOperationMarksEqualTheMemory) {
    const bool big = std::string(GetParam()) == "big";
    fs::path dir = fs::temp_directory_path() / ("station_sample_" + std::to_string(getpid()) + GetParam());
    fs::remove_all(dir);
    sample::Description d = sample::default_description();
    for (auto& s : d.stations) s.byteOrder = GetParam();
    sample::Result res = sample::build(d, dir.string());
    ASSERT_FALSE(res.stations.empty());
    const sample::StationResult& sr = res.stations.front();
    fs::path stDir = fs::path(sr.stationJsonPath).parent_path();

    fcs::Station st(fcs::load_config(stDir.string()));
    EXPECT_EQ(st.number(), sr.number);
    Bytes mem = slurp(sr.memoryPath);
    MemBuf ui(slurp(sr.userInstPath));
    Client c{st, big};

    ASSERT_EQ(c.start(1).result, 0);
    std::size_t recordsSeen = 0;
    for (const auto& b : sr.blocks) {
        if (!b.exists()) continue;
        std::vector<Para> params;
        for (const auto& r : b.records) params.push_back({1, static_cast<std::uint8_t>(r.recNo), static_cast<std::int16_t>(b.number)});
        Bytes data = fetch(c, 1, params);
        std::size_t off = 0;
        for (const auto& r : b.records) {
            SCOPED_TRACE("block " + std::to_string(b.number) + " record " + std::to_string(r.recNo));
            ASSERT_LE(off + 16, data.size());
            auto* h = reinterpret_cast<FcMnSaveData*>(data.data() + off);
            if (big) {
                ASSERT_EQ(bc2FcMnSaveData(h, 0), 0);
            }
            ASSERT_EQ(tb::load_u16(h->b), 0);
            ASSERT_EQ(tb::load_u32(h->b + 12), r.size);
            std::uint8_t* rec = data.data() + off + 16;
            if (big) {
                ASSERT_EQ(bc3RecordInBlock(rec, nullptr, b.code, r.recNo, static_cast<int>(r.size), 0, ui.p), 0);
            }
            EXPECT_EQ(Bytes(rec, rec + r.size), Bytes(mem.begin() + r.offset, mem.begin() + r.offset + r.size));
            off += 16 + r.size;
            ++recordsSeen;
        }
    }
    EXPECT_GT(recordsSeen, 0u);
    EXPECT_EQ(c.request(0x1F, 2, 1).result, 0);

    // Every operation-mark table the save fetches, asked for whole.
    const sample::Station& ds = d.stations.front();
    std::set<int> kinds;
    for (std::uint8_t area : {0, 1}) {
        ASSERT_EQ(c.start(area).result, 0);
        for (const auto& t : sr.opeMarks) {
            bool ofArea = t.kind == 12 || t.kind == 31 || t.kind == 58;
            if (!t.fetched || ofArea != (area == 1)) continue;
            SCOPED_TRACE("kind " + std::to_string(t.kind));
            std::size_t elemBytes = t.kind == 21 || t.kind == 22 ? std::size_t(ds.factor1 * ds.factor2 * 64)
                                    : t.kind >= 27 && t.kind <= 30 ? 1024 : 2;
            std::size_t count = t.kind == 31 ? std::size_t(ds.anMessages) : t.size / elemBytes;
            Bytes data = fetch(c, area, {{static_cast<std::uint8_t>(t.kind), 0, 0, 1, static_cast<std::uint16_t>(count)}});
            ASSERT_EQ(data.size(), 16 + t.size);
            if (big)
                for (std::size_t i = 16; i + 1 < data.size(); i += 2) tb::swap_in_place(data.data() + i, 2);
            EXPECT_EQ(Bytes(data.begin() + 16, data.end()), Bytes(mem.begin() + t.offset, mem.begin() + t.offset + t.size));
            kinds.insert(t.kind);
        }
        EXPECT_EQ(c.request(0x1F, 2, area).result, 0);
    }
    std::size_t tablesSeen = kinds.size();
    EXPECT_GT(tablesSeen, 0u);

    // The generation stamp of the memory file's header.
    Answer g = c.send(c.frame(0x30, 1, 0, 0, 0));
    ASSERT_EQ(g.body.size(), 32u);
    std::uint64_t stamp = big ? 0 : tb::load_u64(g.body.data() + 8);
    if (big)
        for (int i = 0; i < 8; ++i) stamp = (stamp << 8) | g.body[8 + i];
    EXPECT_EQ(stamp, tb::load_u64(mem.data() + 16));
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, SampleStation, ::testing::Values("big", "host"));

}  // namespace
