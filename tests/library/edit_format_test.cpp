// The sectioned edit file: the block walk, record offsets, the TAGI flag, every operation over
// a file cut at every length; the element search over the sorted element list.
#include <gtest/gtest.h>

#include <map>

#include "LdTuSaveCtrl.h"
#include "LdTuSaveEdit.h"
#include "LdTuSaveEditFmt.h"
#include "image_fixture.h"
#include "port/port_host.h"
#include "tusave_bytes.h"

namespace {

using imgtest::Lines;

struct Blk {
    std::int16_t no;
    std::uint16_t code;
    std::vector<std::uint32_t> sizes;   // records 1..n; record 1 holds head and table
    int count1 = -1;                    // descriptor count 1 as written (-1: sizes.size())
};

constexpr std::uint32_t kTagi = 0x200, kHtlt = 0x230, kArea = 0x3B0;
constexpr std::uint16_t k6226 = 6226;

// TAGI (entry 0), HTLT (entry 1, 3 records), block area (entry 6, in 16-byte units), 7 in use.
std::vector<std::uint8_t> MakeEdf(const std::vector<Blk>& blks) {
    std::vector<std::uint8_t> f(kArea, 0xEE);
    std::fill(f.begin() + 0x2C, f.begin() + 0x200, 0);
    tb::store_u32(f.data() + 0x2C, 7);
    auto dir = [&](int i, const char* tag, std::uint32_t off, std::uint32_t cnt, std::uint32_t unit) {
        std::uint8_t* e = f.data() + 0x40 + 16 * i;
        std::memcpy(e, tag, std::strlen(tag));
        tb::store_u32(e + 4, off);
        tb::store_u32(e + 8, cnt);
        tb::store_u32(e + 12, unit);
    };
    dir(0, "TAGI", kTagi, 1, 48);
    dir(1, "HTLT", kHtlt, 3, 128);
    for (const Blk& b : blks) {
        const std::size_t at = f.size();
        const std::size_t n = b.sizes.size();
        std::uint64_t sum = 0;
        for (auto sz : b.sizes) sum += sz;
        f.resize(at + std::max<std::uint64_t>(0x40 + 8 * n, std::min<std::uint64_t>(sum, 0x1000)), 0xA5);
        tb::store_u16(f.data() + at, static_cast<std::uint16_t>(b.no));
        tb::store_u16(f.data() + at + 0x14, b.code);
        f[at + 0x16] = static_cast<std::uint8_t>(b.count1 < 0 ? static_cast<int>(n) : b.count1);
        f[at + 0x17] = 0;
        std::uint32_t off = 0;
        for (std::size_t k = 0; k < n; ++k) {
            tb::store_u32(f.data() + at + 0x40 + 8 * k, off);
            tb::store_u32(f.data() + at + 0x44 + 8 * k, b.sizes[k]);
            off += b.sizes[k];
        }
    }
    const std::size_t areaLen = (f.size() - kArea + 15) / 16 * 16;
    f.resize(kArea + areaLen, 0);
    dir(6, "FBLK", kArea, static_cast<std::uint32_t>(areaLen / 16), 16);
    return f;
}

struct Walk {
    std::uint32_t rtn, start = 0, end = 0, cnt = 0;
    LdTuSavesRecDesc desc[32];
};

Walk Find(std::vector<std::uint8_t> bytes, std::int16_t no, std::uint16_t code) {
    LdTuSaveEditFile f("/x/F.edf", std::move(bytes));
    Walk w{};
    w.rtn = LdTuSavesGetBlockOffset("/x/F.edf", &f, no, code, &w.start, &w.end, &w.cnt, w.desc);
    return w;
}

class EditFormat : public ::testing::Test {
protected:
    void SetUp() override {
        std::map<unsigned, std::string> t;
        for (unsigned id : {7193u, 7194u, 7195u, 7196u}) t[id] = "T" + std::to_string(id);
        port::set_string_table(t);
    }
    Lines lines;
};

const std::vector<Blk> kFile = {{10, 0x0301, {0x40 + 24 + 16, 32, 16}},
                                {11, k6226, {0x40 + 16 + 8, 40}},
                                {12, 6227, {0x40 + 16 + 8, 24}},
                                {13, k6226, {0x40 + 24 + 8, 32, 64}}};

TEST_F(EditFormat, BlockWalkReachesChildrenWithinThreeNumbers) {
    const auto f = MakeEdf(kFile);
    struct Case {
        std::int16_t no;
        std::uint16_t code;
        std::uint32_t rtn, start;
    } cases[] = {
        {10, 0x0301, 0, kArea},                                  // first entry, any code
        {13, k6226, 0, kArea + 152 + 128 + 112},                 // past 10, 11, 12
        {11, 0x0301, 0x2023410d, 0},                             // other codes must come first
        {14, k6226, 0x2023410d, 0},                              // 10 is 4 below 14
        {10, k6226, 0x2023410d, 0},                              // number right, code wrong
    };
    for (const Case& c : cases) {
        lines.v.clear();
        Walk w = Find(f, c.no, c.code);
        EXPECT_EQ(w.rtn, c.rtn) << c.no;
        if (c.rtn == 0) {
            EXPECT_EQ(w.start, c.start) << c.no;
        }
        EXPECT_TRUE(lines.v.empty()) << c.no;
    }
    // Record numbers up to the descriptor count, records inside the block (offset + size wraps).
    Walk w = Find(f, 13, k6226);
    EXPECT_EQ(w.cnt, 3u);
    EXPECT_EQ(w.end, w.start + 0x40 + 24 + 8 + 32 + 64);
    LdTuSaveEditFile ef("/x/F.edf", {});
    std::uint32_t off = 0;
    EXPECT_EQ(LdTuSavesGetRecOffset("p", &ef, w.start, w.end, w.cnt, w.desc, 3, &off), 1);
    EXPECT_EQ(off, w.start + 0x40 + 24 + 8 + 32);
    EXPECT_EQ(LdTuSavesGetRecOffset("p", &ef, w.start, w.end, w.cnt, w.desc, 4, &off), 0);
    w.desc[1].size = 0xFFFFFFFFu;
    EXPECT_EQ(LdTuSavesGetRecOffset("p", &ef, w.start, w.end, w.cnt, w.desc, 2, &off), 0);
    ASSERT_EQ(lines.v.size(), 2u);
    EXPECT_EQ(lines.v[0], "ERR:LdTuSavesGetRecOffset:SaveRecNum is Over RecTotalCnt. SaveRecNum=4, RecTotalCnt=3");
    EXPECT_EQ(lines.v[1].rfind("ERR:LdTuSavesGetRecOffset:RecOffset is Over BtmOffset.", 0), 0u);
}

TEST_F(EditFormat, DamagedBlockEntriesAreRefusedWithALine) {
    struct Case {
        std::vector<Blk> blks;
        std::int16_t no;
        const char* line;   // prefix of the one line
    } cases[] = {
        // An entry of no size would hold the walk in place.
        {{{10, 0x0301, {0, 0}}, {11, k6226, {0x50}}}, 11, "ERR:T7195/x/F.edf"},
        // 33 descriptors cannot go into the table of 32.
        {{{11, k6226, {0x200}, 33}}, 11, "ERR:LdTuSavesGetBlockOffset:RecTotalCnt is Over 32"},
        // Descriptor sizes that reach past the block area.
        {{{11, k6226, {0x48, 0xFFFFFFF0u}}}, 11, "ERR:LdTuSavesGetBlockOffset nBlockEnd is over nBtmOffset"},
        // Walking past the bottom.
        {{{10, 0x0301, {0x50}}}, 11, "ERR:T7195/x/F.edf"},
    };
    for (const Case& c : cases) {
        lines.v.clear();
        EXPECT_EQ(Find(MakeEdf(c.blks), c.no, k6226).rtn, 0x20000108u);
        ASSERT_EQ(lines.v.size(), 1u);
        EXPECT_EQ(lines.v[0].rfind(c.line, 0), 0u) << lines.v[0];
    }
    // A block area listed beyond the end of the file holds no block.
    auto f = MakeEdf(kFile);
    tb::store_u32(f.data() + 0x40 + 16 * 6 + 8, 0x10000000);
    EXPECT_EQ(Find(f, 10, 0x0301).rtn, 0x2023410du);
}

// Every length of a good file: each operation either succeeds or fails with a line, and
// nothing is read or written outside the file (the sanitizer build checks the bytes).
TEST_F(EditFormat, FileCutAtEveryLengthFailsCleanly) {
    const auto full = MakeEdf(kFile);
    for (std::size_t len = 0; len <= full.size(); ++len) {
        lines.v.clear();
        std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
        LdTuSaveEditFile f("p", cut);
        Walk w{};
        w.rtn = LdTuSavesGetBlockOffset("p", &f, 13, k6226, &w.start, &w.end, &w.cnt, w.desc);
        if (w.rtn == 0) {
            std::uint32_t off = 0;
            ASSERT_EQ(LdTuSavesGetRecOffset("p", &f, w.start, w.end, w.cnt, w.desc, 3, &off), 1);
            const std::vector<std::uint8_t> rec(w.desc[2].size, 0x11);
            EXPECT_EQ(LdTuSavesWriteRecord("p", &f, rec.data(), w.desc[2].size, off), 0u);
        } else {
            // Not found is silent (the step names the block); every other failure has its line.
            ASSERT_TRUE(w.rtn == 0x20000108u || w.rtn == 0x2023410du) << len;
            EXPECT_EQ(lines.v.size(), w.rtn == 0x20000108u ? 1u : 0u) << len;
        }
        const int tagi = LdTuSavesSetCtrlFlagInTAGI(&f, "p");
        EXPECT_EQ(tagi == 1, len >= kTagi + 48) << len;
        EXPECT_EQ(f.Size(), len);
        // A write past the end is refused, never appended.
        ASSERT_TRUE(f.Seek(len));
        EXPECT_FALSE(f.Write("x", 1));
    }
}

QVEElemList List(std::initializer_list<std::string> names) {
    QVEElemList list;
    for (const std::string& n : names) list.Add(n, "L-" + n);
    return list;
}

TEST(ElemSearch, FindsEveryElementAndRefusesNamesOutsideOrBetweenNullOrUnsorted) {
    imgtest::Lines lines;
    for (std::size_t count = 1; count <= 9; ++count) {
        QVEElemList list;
        for (std::size_t i = 0; i < count; ++i) list.Add(LdTuSaveFormat("%%BL%04zu", 2 * i + 2), "");  // even only
        for (std::size_t n = 1; n <= 2 * count + 1; ++n) {
            const std::string name = LdTuSaveFormat("%%BL%04zu", n);
            _QVEElemTbl out;
            out.n5 = 77;  // untouched unless found
            const std::uint32_t r = ElemSearch(name.c_str(), list, &out);
            EXPECT_EQ(r, n % 2 ? LDTUSAVE_E_NOELEM : 0u) << count << " " << name;
            EXPECT_EQ(n % 2 ? std::to_string(out.n5) : std::string(list.Text(out.strElemName)), n % 2 ? "77" : name);
        }
    }
    // Unsigned byte order: a name with a byte above 0x7F sorts after plain ASCII. The record
    // found points into the list's texts.
    auto high = List({"%BL0001", "%BL\xC1"});
    _QVEElemTbl out;
    EXPECT_EQ(ElemSearch("%BL\xC1", high, &out), 0u);
    EXPECT_STREQ(high.Text(out.strLocation), "L-%BL\xC1");
    EXPECT_TRUE(lines.v.empty());
    // A null name, an empty list, a list in descending order.
    EXPECT_EQ(ElemSearch(nullptr, List({"%BL0001"}), &out), 1u);
    EXPECT_EQ(ElemSearch("%BL0001", {}, &out), LDTUSAVE_E_NOELEM);
    EXPECT_EQ(ElemSearch("%BL0002", List({"%BL0003", "%BL0001"}), &out), 1u);
    EXPECT_EQ(lines.v, std::vector<std::string>{"ElemSearch:invalid case %BL0002"});
}

}  // namespace
