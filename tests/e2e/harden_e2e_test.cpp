// Whole saves against a hostile station and workstation: a station that sends every reply
// twice; and, run as a user runs them, a station held by another save, a forged station name,
// a broken system configuration and a database file whose rename is not confirmed on disk.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../library/ctrl_fixture.h"
#include "ZclNthmi/zcl_host.h"
#include "e2e_fcssim.h"
#include "libqverxeda.h"
#include "sample.h"

namespace {

namespace fs = std::filesystem;

class HardenE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home_.Start(sample::default_description())) << "fcssim did not report its port";
        dir_ = home_.dir;
    }

    // Runs tusave with args under env; stdout lines are returned, stderr goes to err_.
    std::vector<std::string> tusave(const std::string& env, const std::string& args) {
        const std::string cmd = "TUSAVE_HOME='" + dir_ + "' " + env + " '" + TUSAVE_BUILD_DIR "/tools/tusave/tusave' " +
                                args + " 2>'" + dir_ + "/stderr.txt'";
        std::vector<std::string> lines;
        status_ = e2e::shell(cmd, &lines);
        std::ifstream in(dir_ + "/stderr.txt");
        std::stringstream ss;
        ss << in.rdbuf();
        err_ = ss.str();
        return lines;
    }

    e2e::SampleHome home_;
    std::string dir_, err_;
    int status_ = -1;
};

// In process, so that the second copy is queued before the first is read, every time.
using DuplicateReplies = ctrl_test::CtrlSave;

TEST_F(DuplicateReplies, StationSendingEveryReplyTwiceIsSavedWithTheRightData) {
    build();
    zcl::set_inproc_copies("ctrl", 2);
    const std::string trace = dir_ + "/trace.txt";
    setenv("TUSAVE_TRACE", trace.c_str(), 1);
    const unsigned long before = zcl::dropped_frames();
    const unsigned rc = save("FCS0101", 2, 0);
    unsetenv("TUSAVE_TRACE");
    ASSERT_EQ(rc, 0u) << ::testing::PrintToString(lines);
    EXPECT_GT(e2e::expect_saved_records_equal_memory(st("FCS0101")), 0u);
    // The copies were dropped by the reads of the next requests, and the trace says so.
    EXPECT_GT(zcl::dropped_frames() - before, static_cast<unsigned long>(saveFrames_) / 2);
    std::ifstream in(trace);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("(late or repeated)"), std::string::npos);
}

TEST_F(HardenE2E, RefusalsSayWhatHappened) {
    // Held by this process: the save in the child is refused and names the holder.
    ::setenv("TUSAVE_HOME", dir_.c_str(), 1);
    void* lock = nullptr;
    char info[16] = {};
    ASSERT_EQ(QVEEdaGenLockStation("DEMO", "FCS0101", 1, info, sizeof info, &lock), 0u);
    tusave("", "save --project DEMO --station FCS0101 --mode 2");
    EXPECT_EQ(status_, 1);
    EXPECT_NE(err_.find("tusave save: the save of FCS0101 failed with 0x2e00000b: station FCS0101 of project DEMO "
                        "is held by another save (process " + std::to_string(::getpid()) + "): wait until it ends"),
              std::string::npos)
        << err_;
    EXPECT_EQ(QVEEdaGenUnlockStation("DEMO", "FCS0101", lock), 0u);
    ::unsetenv("TUSAVE_HOME");

    // A name that would forge an output line is a usage error: nothing runs.
    auto lines = tusave("", "save --project DEMO --station \"$(printf 'FCS0101\\nRESULT 0x00000000')\" --raw");
    EXPECT_NE(status_, 0);
    EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);

    // A folder sync that fails after the rename: the new file, and a line that says so.
    lines = tusave("TUSAVE_FAILPOINTS='CloseHandle.syncdir=5'", "save --project DEMO --station FCS0101 --mode 2 --raw");
    EXPECT_EQ(status_, 1);
    bool said = false;
    for (const auto& l : lines) said = said || l.ends_with(" (written, but not confirmed on disk)");
    EXPECT_TRUE(said) << ::testing::PrintToString(lines);

    // A malformed system configuration is named on stderr.
    const std::string sys = dir_ + "/projects/DEMO/SYSTEM/sysconfig.json";
    std::ofstream(sys) << "{ \"stations\": [";
    tusave("", "save --project DEMO --station FCS0101 --mode 2");
    EXPECT_EQ(status_, 1);
    EXPECT_NE(err_.find(": " + sys + ": malformed JSON"), std::string::npos) << err_;
}

}  // namespace
