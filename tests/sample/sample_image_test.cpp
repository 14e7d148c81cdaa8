// The station database image and the station memory the sample builder writes: every table
// reachable and inside the file, the special blocks present, memory differing exactly where
// the save will overwrite.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "sample.h"
#include "sample_walk.h"

using sample_test::Image;
using sample_test::read_file;
using sample_test::TempDir;

namespace {

class SampleImage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        desc_ = new sample::Description(sample::default_description());
        result_ = new sample::Result(sample::build(*desc_, dir_->path()));
    }
    static void TearDownTestSuite() {
        delete result_;
        delete desc_;
        delete dir_;
    }
    static TempDir* dir_;
    static sample::Description* desc_;
    static sample::Result* result_;
};
TempDir* SampleImage::dir_;
sample::Description* SampleImage::desc_;
sample::Result* SampleImage::result_;

TEST_F(SampleImage, HeaderAndRootTablesFixTheBase) {
    for (std::size_t si = 0; si < desc_->stations.size(); ++si) {
        const auto& s = desc_->stations[si];
        Image img(read_file(result_->stations[si].databasePath));
        ASSERT_EQ(0, std::memcmp(img.bytes.data(), "TUSFDB01", 8));
        EXPECT_EQ(1u, img.u32(0x08));
        EXPECT_EQ(static_cast<std::uint32_t>(s.number), img.u32(0x0C));
        EXPECT_EQ(s.generationStamp, tb::get_u64(img.bytes, 0x10).value());
        EXPECT_EQ(s.name, img.tag(0x18));
        EXPECT_EQ(s.baseAddress, img.u32(0x28));
        EXPECT_EQ(s.baseAddress, img.base);
        // The area constant table lies exactly 0x200 after the area root table.
        auto area = img.follow(0x280, 0x200);
        ASSERT_TRUE(area);
        auto cnst = img.follow(*area + 0x08, 0x100);
        ASSERT_TRUE(cnst);
        EXPECT_EQ(*area + 0x200, *cnst);
        EXPECT_EQ(s.blocks, static_cast<std::int16_t>(img.u16(*cnst + 0x40)));
        EXPECT_EQ(s.anMessages, static_cast<std::int16_t>(img.u16(*cnst + 0x4C)));
        EXPECT_EQ(s.ioBusTypes.at(0), img.u16(0x300 + 0x76));
        EXPECT_EQ(s.ioBusTypes.at(1), img.u16(0x300 + 0x78));
        EXPECT_EQ(s.idSecond, img.u8(0x328));
        EXPECT_EQ(s.idFirst, img.u8(0x329));
    }
}

// Walks BldbPtrTbl and every block header and record from the bytes alone.
TEST_F(SampleImage, EveryBlockAndRecordConvertsIntoTheFile) {
    for (std::size_t si = 0; si < desc_->stations.size(); ++si) {
        const auto& sr = result_->stations[si];
        Image img(read_file(sr.databasePath));
        auto area = img.follow(0x280, 0x300).value();
        int maxBlock = static_cast<std::int16_t>(img.u16(area + 0x200 + 0x40));
        auto bpt = img.follow(area + 0x0C, 0x10);
        ASSERT_TRUE(bpt);
        auto bldb = img.follow(*bpt + 0x08, 4 * std::size_t(maxBlock));
        ASSERT_TRUE(bldb) << "BldbPtrTbl of MaxBlock entries does not fit";
        ASSERT_EQ(static_cast<std::size_t>(maxBlock), sr.blocks.size());

        std::map<int, std::uint16_t> codes;  // existing blocks
        std::set<int> categories, specials;
        int empty = 0, codeZero = 0;
        for (int n = 1; n <= maxBlock; ++n) {
            const auto& b = sr.blocks[n - 1];
            std::uint32_t entry = img.u32(*bldb + 4 * (n - 1));
            if (entry == 0) {
                EXPECT_TRUE(b.empty) << n;
                ++empty;
                continue;
            }
            auto h = img.at(entry, 0x100);
            ASSERT_TRUE(h) << "block " << n << " header outside the file";
            EXPECT_EQ(n, static_cast<std::int16_t>(img.u16(*h)));
            std::uint16_t code = img.u16(*h + 0x14);
            EXPECT_EQ(b.code, code);
            if (code == 0) {
                ++codeZero;
                continue;
            }
            codes[n] = code;
            categories.insert(img.u8(*h + 0x23));
            specials.insert(code);
            EXPECT_EQ(b.tag, img.tag(*h + 4));
            std::size_t recs = 0;
            for (int r = 0; r <= 24; ++r) {
                std::uint32_t addr = img.u32(*h + 0x38 + 8 * r);
                if (addr == 0) continue;
                std::uint32_t size = img.u32(*h + 0x3C + 8 * r);
                auto rec = img.at(addr, size);
                ASSERT_TRUE(rec) << "block " << n << " record " << r << " not whole inside the file";
                EXPECT_EQ(n, img.u16(*rec));
                EXPECT_EQ(r, img.u8(*rec + 3));
                if (r == 1) {
                    EXPECT_EQ(0, std::memcmp(&img.bytes[*rec + 4], &img.bytes[*h + 4], 16)) << "record 1 tag, block " << n;
                    EXPECT_EQ(code, img.u16(*rec + 0x14));
                }
                ASSERT_LT(recs, b.records.size());
                EXPECT_EQ(r, b.records[recs].recNo);
                EXPECT_EQ(*rec, b.records[recs].offset);
                ++recs;
            }
            EXPECT_EQ(b.records.size(), recs);
        }
        // The parent block number of codes 5122, 6226, 6227 names an existing block.
        for (auto [n, code] : codes) {
            if (code != 5122 && code != 6226 && code != 6227) continue;
            auto h = img.at(img.u32(*bldb + 4 * (n - 1)), 0x100).value();
            auto rec2 = img.at(img.u32(h + 0x48), img.u32(h + 0x4C)).value();
            ASSERT_GE(img.u32(h + 0x4C), 0xB4u);
            std::uint16_t parent = img.u16(rec2 + 0xB2);
            // A block of code 6226 or 6227 that heads its own edit file is its own parent.
            EXPECT_TRUE(codes.count(parent) && (parent != n || code != 5122)) << "block " << n << " parent " << parent;
            EXPECT_EQ(sr.blocks[n - 1].parent, parent);
        }
        for (std::uint16_t c : {5122, 6226, 6227, 6266, 6267}) EXPECT_TRUE(specials.count(c)) << c;
        if (si == 0) {
            for (int c : {0, 1, 2, 15}) EXPECT_TRUE(categories.count(c)) << "category " << c;
            EXPECT_GT(empty, 0);
            EXPECT_GT(codeZero, 0);
        }
    }
}

TEST_F(SampleImage, OperationMarkTablesAndLists) {
    for (std::size_t si = 0; si < desc_->stations.size(); ++si) {
        const auto& s = desc_->stations[si];
        const auto& sr = result_->stations[si];
        Image img(read_file(sr.databasePath));
        std::map<int, std::size_t> found;  // kind -> offset, walked from the bytes
        auto io = img.follow(0x248, 0x300).value();
        auto holder = [&](std::size_t field, std::size_t dest, int kind, std::size_t bytes) {
            auto h = img.follow(io + field, 0x40);
            ASSERT_TRUE(h);
            if (bytes == 0) {
                EXPECT_EQ(0u, img.u32(*h + dest)) << "kind " << kind << " without elements has no table";
                return;
            }
            auto t = img.follow(*h + dest, bytes);
            ASSERT_TRUE(t) << "kind " << kind;
            found[kind] = *t;
        };
        holder(0x104, 4, 10, 2 * std::size_t(img.u16(0x300 + 0x84)));
        holder(0x10C, 4, 11, 2 * std::size_t(img.u16(0x300 + 0xAC)));
        holder(0x248, 0x30, 42, 32 * std::size_t(img.u16(0x300 + 0x1E0)));
        EXPECT_EQ(s.opeMarks42, img.u16(0x300 + 0x1E0));

        std::size_t elem21 = std::size_t(img.u16(0x342)) * img.u16(0x344) * 64;
        const int kinds[6] = {21, 22, 28, 27, 29, 30};
        for (int k = 0; k < 6; ++k) {
            std::uint32_t a = img.u32(io + 0x80 + 4 * k);
            if (a == 0) continue;
            auto node = img.at(a, 0x80);
            ASSERT_TRUE(node);
            std::size_t count = img.u16(*node + 0x0A);
            std::size_t field = k < 2 ? 0x5C : k < 4 ? 0x54 : 0x60;
            std::size_t bytes = k < 2 ? count * elem21 : k < 4 ? 5 * 1024 : count * 1024;
            auto t = img.follow(*node + field, bytes);
            ASSERT_TRUE(t) << "kind " << kinds[k];
            found[kinds[k]] = *t;
        }
        auto area = img.follow(0x280, 0x300).value();
        auto an = img.follow(area + 0x24, 0x40).value();
        std::size_t n = img.u16(area + 0x200 + 0x4C);
        found[31] = img.follow(an + 0x14, (n + 127) / 128 * 16).value();
        found[12] = img.follow(an + 0x18, 2 * n).value();
        found[58] = img.follow(an + 0x20, 2 * n).value();
        for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(sr.uaids.at(k), img.u16(found[58] + 2 * k));

        // The builder's list names the same tables; the asked-for ones follow the bus types.
        std::map<int, std::size_t> listed;
        for (const auto& t : sr.opeMarks) listed[t.kind] = t.offset;
        EXPECT_EQ(found, listed);
        for (const auto& t : sr.opeMarks) {
            bool bus1 = t.kind == 21 || t.kind == 28 || t.kind == 29;
            unsigned want = (t.kind == 21 || t.kind == 22) ? 1 : (t.kind == 27 || t.kind == 28) ? 2 : 4;
            bool io = t.kind >= 21 && t.kind <= 30;
            bool expect = !io || s.ioBusTypes.at(bus1 ? 0 : 1) == want;
            if (t.size == 0) expect = false;
            EXPECT_EQ(expect, t.fetched) << "kind " << t.kind;
        }

        // Custom folder names: 16 entries of 8 bytes.
        auto list = img.follow(io + 0x214, 128);
        ASSERT_TRUE(list);
        for (std::size_t i = 0; i < 16; ++i) {
            std::string name(reinterpret_cast<const char*>(&img.bytes[*list + 8 * i]), 8);
            name.resize(std::strlen(name.c_str()));
            EXPECT_EQ(i < s.customFolders.size() ? s.customFolders[i] : "", name);
        }
    }
}

// The oracle of the end-to-end tests: the memory differs from the project exactly in the
// tuning bytes of saved records and in the operation-mark tables.
TEST_F(SampleImage, MemoryDiffersExactlyInSavedRecordsAndOperationMarks) {
    for (const auto& sr : result_->stations) {
        auto proj = read_file(sr.databasePath);
        auto mem = read_file(sr.memoryPath);
        ASSERT_EQ(proj.size(), mem.size());
        std::vector<bool> mayDiffer(proj.size(), false);
        auto mark = [&](std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; ++i) mayDiffer[i] = true;
        };
        std::size_t saved = 0;
        for (const auto& b : sr.blocks)
            for (const auto& r : b.records) {
                if (!r.saved) continue;
                ++saved;
                EXPECT_NE(1, r.recNo);
                mark(r.offset + 4, r.offset + r.size);
                if (r.recNo == 2 && (b.code == 5122 || b.code == 6226 || b.code == 6227)) {
                    mayDiffer[r.offset + 0xB2] = mayDiffer[r.offset + 0xB3] = false;  // parent kept
                }
            }
        for (const auto& t : sr.opeMarks) mark(t.offset, t.offset + t.size);
        ASSERT_GT(saved, 0u);
        std::size_t unexpected = 0, same = 0;
        for (std::size_t i = 0; i < proj.size(); ++i) {
            if (!mayDiffer[i]) unexpected += proj[i] != mem[i];
            else same += proj[i] == mem[i];
        }
        EXPECT_EQ(0u, unexpected) << sr.name << ": bytes outside saved records and tables differ";
        EXPECT_EQ(0u, same) << sr.name << ": tuning bytes left equal";
        EXPECT_NE(sr.uaids, sr.stationUaids);
    }
}

TEST(SampleBuild, SameSeedSameBytesOtherSeedOtherData) {
    TempDir a, b, c;
    sample::Description d = sample::default_description();
    auto ra = sample::build(d, a.path());
    auto rb = sample::build(d, b.path());
    ASSERT_EQ(ra.files.size(), rb.files.size());
    for (std::size_t i = 0; i < ra.files.size(); ++i) {
        std::string rel = ra.files[i].substr(ra.dir.size());
        ASSERT_EQ(rel, rb.files[i].substr(rb.dir.size()));
        EXPECT_TRUE(read_file(ra.files[i]) == read_file(rb.files[i])) << rel << " differs between two builds";
    }
    d.seed = 2;
    auto rc = sample::build(d, c.path());
    EXPECT_FALSE(read_file(ra.stations[0].databasePath) == read_file(rc.stations[0].databasePath));
    EXPECT_FALSE(read_file(ra.stations[0].memoryPath) == read_file(rc.stations[0].memoryPath));
}

TEST(SampleBuild, EmptyAreaAndNoAnMessagesStillResolve) {
    TempDir t;
    sample::Description d = sample::default_description();
    d.stations.resize(1);
    d.stations[0].blocks = 0;
    d.stations[0].anMessages = 0;
    d.stations[0].memoryGenerationStamp = 1767225601;
    auto r = sample::build(d, t.path());
    Image img(read_file(r.stations[0].databasePath));
    auto area = img.follow(0x280, 0x300).value();
    EXPECT_EQ(0, img.u16(area + 0x200 + 0x40));
    // The root-table lookups need BldbPtrTbl and the UAID array even when both are empty.
    auto bpt = img.follow(area + 0x0C, 0x10).value();
    EXPECT_TRUE(img.follow(bpt + 0x08, 0));
    auto an = img.follow(area + 0x24, 0x40).value();
    EXPECT_TRUE(img.follow(an + 0x20, 0));
    for (const auto& t2 : r.stations[0].opeMarks)
        if (t2.kind == 12 || t2.kind == 31 || t2.kind == 58) {
            EXPECT_FALSE(t2.fetched);
        }
    // A station generated at another time: the header alone tells.
    auto mem = read_file(r.stations[0].memoryPath);
    EXPECT_EQ(1767225601u, tb::get_u64(mem, 0x10).value());
    mem[0x10] = img.bytes[0x10];
    std::vector<std::size_t> diff;
    for (std::size_t i = 0; i < mem.size(); ++i)
        if (mem[i] != img.bytes[i] && i < 0x200) diff.push_back(i);
    EXPECT_TRUE(diff.empty());
}

}  // namespace
