// End to end over a real loopback socket: a whole save of a 500-block sample station against
// fcssim started as a child process; the database file afterwards holds the station's values.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LdTuSaveCtrl.h"
#include "e2e_fcssim.h"
#include "libqveldtusave.h"
#include "libqvecommon.h"
#include "libqvecommon/qvecommon_host.h"
#include "sample.h"
#include "tusave.h"
#include "tusave_bytes.h"

namespace {

namespace fs = std::filesystem;

using e2e::read_file;


class UploadE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sample::Description d = sample::default_description();
        d.stations[0].blocks = 500;
        ASSERT_TRUE(home_.Start(d)) << "fcssim did not report its port";
        result_ = home_.result.get();
        setenv("TUSAVE_HOME", home_.dir.c_str(), 1);
        original_ = read_file(result_->stations[0].databasePath);
        memory_ = read_file(result_->stations[0].memoryPath);
    }
    static void TearDownTestSuite() {
        home_.Stop();
        unsetenv("TUSAVE_HOME");
        unsetenv("TUSAVE_TRACE");
    }
    void SetUp() override {
        ASSERT_TRUE(home_.sim && !home_.sim->device().empty());
        ws::set_message_sink([this](const char* line) {
            lines.emplace_back(line);
            return 0u;
        });
    }
    void TearDown() override {
        ws::set_message_sink(nullptr);
        g_testMode = 0;
    }
    static const sample::StationResult& st() { return result_->stations[0]; }
    static bool sameBytes(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, std::size_t off,
                          std::size_t n) {
        return off + n <= a.size() && off + n <= b.size() && std::memcmp(a.data() + off, b.data() + off, n) == 0;
    }

    static inline e2e::SampleHome home_;
    static inline sample::Result* result_ = nullptr;
    static inline std::vector<std::uint8_t> original_, memory_;
    std::vector<std::string> lines;
};

TEST_F(UploadE2E, FullSaveWritesTheStationsRecordsAndTablesIntoTheDatabaseFile) {
    const std::string trace = home_.dir + "/trace.txt";
    setenv("TUSAVE_TRACE", trace.c_str(), 1);
    ASSERT_EQ(QVELdFcsTuningParmSave("P1", "P2", "DEMO", st().name.c_str(), 2, 0, 7), 0u)
        << ::testing::PrintToString(lines);
    unsetenv("TUSAVE_TRACE");
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
        if (inBatch + n + 1 > 80) {
            batchBytes.push_back(0);
            inBatch = 0;
        }
        inBatch += n + 1;
        batchBytes.back() += bytes;
    }
    EXPECT_GT(savedRecords, 500u);
    EXPECT_GT(batchBytes.size(), 2u);
    for (const auto& t : st().opeMarks) {
        if (!t.fetched) continue;
        EXPECT_TRUE(sameBytes(db, memory_, t.offset, t.size)) << "operation marks of kind " << t.kind;
    }

    // The frames, from the step trace.
    std::ifstream in(trace);
    std::string line;
    std::size_t uploadFrames = 0, saveGroups = 0;
    bool inSave = false;
    while (std::getline(in, line)) {
        const bool save = line.find(" TuSaveReq blkNo = ") != std::string::npos;
        if (save && !inSave) ++saveGroups;
        inSave = save;
        uploadFrames += line.find(" TuUpLoadReq areaNo = 1") != std::string::npos;
    }
    std::size_t wantFrames = 0, wantGroups = 0;
    for (std::size_t bytes : batchBytes) {
        wantFrames += (bytes + 2011) / 2012;
        wantGroups += bytes > 0;
    }
    EXPECT_EQ(saveGroups, wantGroups);
    EXPECT_EQ(uploadFrames, wantFrames);
}

TEST_F(UploadE2E, UploadListsExactlyTheListedBlocksAndTheirSavedRecords) {
    std::vector<std::uint8_t> image = original_;
    CQVERXEdaSysObj sysObj;
    ASSERT_EQ(sysObj.Init("DEMO"), 0u);
    LdTuSaveRecordTbl saved;
    g_testMode = 0;
    const std::vector<std::uint8_t> userInstFile = read_file(st().userInstPath);
    // The record layouts, in a buffer of the memory service as the image load leaves them.
    auto* userInst = static_cast<std::uint8_t*>(__QVEEngMalloc(userInstFile.size(), "test", __LINE__));
    std::memcpy(userInst, userInstFile.data(), userInstFile.size());
    ASSERT_EQ(TuFcsUpLoad("P1", "P2", "DEMO", st().name.c_str(), 2, 7, image.data(), userInst, &sysObj, &saved,
                          0, static_cast<std::uint32_t>(image.size())),
              0)
        << ::testing::PrintToString(lines);
    std::size_t k = 0;
    for (const auto& b : st().blocks) {
        if (!b.listed) continue;
        std::vector<std::uint32_t> want;
        for (const auto& r : b.records)
            if (r.saved) want.push_back(static_cast<std::uint32_t>(r.recNo));
        if (want.empty()) continue;
        ASSERT_LT(k, saved.size());
        const LdTuSaveRecord& e = saved[k++];
        EXPECT_EQ(e.blockNo, b.number);
        EXPECT_EQ(e.blkCode, b.code);
        EXPECT_EQ(e.oyaBlockNo, (b.code == 6226 || b.code == 6227) ? b.parent : 0);
        EXPECT_EQ(std::vector<std::uint32_t>(e.recNo, e.recNo + e.recCnt), want) << "block " << b.number;
    }
    EXPECT_EQ(k, saved.size());
    EXPECT_GT(saved.size(), 100u);
    __QVEEngFree(userInst, "test", __LINE__);
}

}  // namespace
