// The station database image and the station memory the sample builder writes: every table
// reachable and inside the file, the special blocks present, memory differing exactly where
// the save will overwrite.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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

// The default sample holds every kind of block the save treats apart, so that the end-to-end
// tests meet them: the special codes, the categories, empty entries and blocks of code 0. Each
// block's parent (codes 5122, 6226, 6227) is an existing block, read from record 2's bytes.
TEST_F(SampleImage, DefaultSampleHoldsEveryKindOfBlock) {
    const auto& sr = result_->stations[0];
    Image img(read_file(sr.databasePath));
    std::set<int> codes, categories;
    int empty = 0, codeZero = 0;
    for (const auto& b : sr.blocks) {
        empty += b.empty;
        codeZero += !b.empty && b.code == 0;
        if (!b.exists()) continue;
        codes.insert(b.code);
        categories.insert(b.category);
        if (b.code != 5122 && b.code != 6226 && b.code != 6227) continue;
        const auto rec2 = std::find_if(b.records.begin(), b.records.end(), [](const auto& r) { return r.recNo == 2; });
        ASSERT_NE(rec2, b.records.end()) << b.number;
        const std::uint16_t parent = img.u16(rec2->offset + 0xB2);
        EXPECT_EQ(sr.blocks.at(parent - 1u).number, parent);
        EXPECT_TRUE(sr.blocks.at(parent - 1u).exists()) << "block " << b.number << " parent " << parent;
        EXPECT_TRUE(parent != b.number || b.code != 5122) << b.number;   // 6226/6227 may head their own file
        EXPECT_EQ(b.parent, parent);
    }
    for (int c : {5122, 6226, 6227, 6266, 6267}) EXPECT_TRUE(codes.count(c)) << c;
    for (int c : {0, 1, 2, 15}) EXPECT_TRUE(categories.count(c)) << "category " << c;
    EXPECT_GT(empty, 0);
    EXPECT_GT(codeZero, 0);
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
}

}  // namespace
