// tusave save as a user runs it: lines, the raw result line and the exit status.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "libqverxeda.h"
#include "sample.h"
#include "e2e_fcssim.h"

namespace {

namespace fs = std::filesystem;

struct CliRun {
    int status = -1;
    std::vector<std::string> lines;
};

class CtrlCli : public ::testing::Test {
protected:
    void SetUp() override { Build(sample::default_description()); }
    void Build(const sample::Description& d) {
        home_.Stop();
        // The save uploads from the station: the simulated one answers on a loopback port.
        ASSERT_TRUE(home_.Start(d)) << "fcssim did not report its port";
        dir_ = home_.dir;
    }
    void TearDown() override { home_.Stop(); }

    // Runs tusave with args under env (assignments before the program); stderr to a file.
    CliRun tusave(const std::string& env, const std::string& args) {
        std::string cmd = "TUSAVE_HOME='" + dir_ + "' TUSAVE_FIXED_TIME=1767225600 TZ=UTC " + env + " '" +
                          TUSAVE_BUILD_DIR "/tools/tusave/tusave' " + args + " 2>'" + dir_ + "/stderr.txt'";
        CliRun r;
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return r;
        char buf[4096];
        std::string line;
        while (fgets(buf, sizeof buf, p)) {
            line += buf;
            if (!line.empty() && line.back() == '\n') {
                line.pop_back();
                r.lines.push_back(line);
                line.clear();
            }
        }
        int st = pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return r;
    }

    e2e::SampleHome home_;
    std::string dir_;
};

constexpr const char* kStart = "MSG:Tuning parameter save started:  FCS0101   Thu Jan  1 00:00:00 2026";

TEST_F(CtrlCli, RawSaveEndsWithTheResultLine) {
    CliRun r = tusave("", "save --project DEMO --station FCS0101 --mode 2 --raw");
    ASSERT_GE(r.lines.size(), 4u);
    EXPECT_EQ(r.lines[0], "PRG:00");
    EXPECT_EQ(r.lines[1], kStart);
    EXPECT_EQ(r.lines[r.lines.size() - 3], "PRG:100");
    EXPECT_EQ(r.lines[r.lines.size() - 2], "MSG:Tuning parameter save finished.  Thu Jan  1 00:00:00 2026");
    EXPECT_EQ(r.lines.back(), "RESULT 0x00000000");
    EXPECT_EQ(r.status, 0);
}

TEST_F(CtrlCli, FailpointFromTheEnvironmentFailsTheSaveWithStatusOne) {
    CliRun r = tusave("TUSAVE_FAILPOINTS='QVEEdaGenLockStation=0x55'", "save --project DEMO --station FCS0101 --raw");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"PRG:00", kStart, "RESULT 0x00000055"}));
    EXPECT_EQ(r.status, 1);
}

TEST_F(CtrlCli, MalformedFailpointsAreAnError) {
    CliRun r = tusave("TUSAVE_FAILPOINTS='QVEEdaGenLockStation'", "save --project DEMO --station FCS0101 --raw");
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ(r.status, 2);
}

TEST_F(CtrlCli, PlainOutputHasNoResultLine) {
    CliRun r = tusave("", "save --project DEMO --station FCS0101 --mode 2");
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines[1], kStart);
    EXPECT_EQ(r.lines.back(), "MSG:Tuning parameter save finished.  Thu Jan  1 00:00:00 2026");
    EXPECT_EQ(r.status, 0);
}

TEST_F(CtrlCli, SaveAllSavesEveryStationAndReportsAHeldOne) {
    sample::Description d = sample::default_description();
    d.stations.resize(4, d.stations[1]);
    for (int i = 0; i < 4; ++i) {
        d.stations[i].name = "FCS010" + std::to_string(i + 1);
        d.stations[i].number = i + 1;
    }
    Build(d);
    CliRun r = tusave("", "save --all --project DEMO --jobs 2");
    EXPECT_EQ(r.status, 0);
    ASSERT_GE(r.lines.size(), 5u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(r.lines[r.lines.size() - 4 + i].substr(0, 46),
                  "FCS010" + std::to_string(i + 1) + "     saved                   0x00000000");

    // Every value of the sample's stations differs from the project's last TP file.
    for (std::size_t i = r.lines.size() - 4; i < r.lines.size(); ++i) {
        std::istringstream row(r.lines[i]);
        std::string station, outcome, result, seconds;
        int changed = 0;
        row >> station >> outcome >> result >> seconds >> changed;
        EXPECT_GT(changed, 0) << r.lines[i];
    }

    // A station that another save holds fails at once and is named as such; the others are saved.
    void* held = nullptr;
    ASSERT_EQ(setenv("TUSAVE_HOME", dir_.c_str(), 1), 0);
    ASSERT_EQ(QVEEdaGenLockStation("DEMO", "FCS0103", 0, nullptr, 0, &held), 0u);
    r = tusave("", "save --all --project DEMO --jobs 2");
    QVEEdaGenUnlockStation("DEMO", "FCS0103", held);
    unsetenv("TUSAVE_HOME");
    EXPECT_EQ(r.status, 1);
    ASSERT_GE(r.lines.size(), 4u);
    EXPECT_EQ(r.lines[r.lines.size() - 2].substr(0, 32), "FCS0103     held by another save");
    EXPECT_EQ(r.lines[r.lines.size() - 1].substr(0, 32), "FCS0104     saved               ");
}

TEST_F(CtrlCli, CheckComparesTheGenerationAndWritesNothing) {
    const std::string db = dir_ + "/projects/DEMO/FCS0101/DB/stndb.sfdata";
    const auto before = e2e::read_file(db);
    EXPECT_EQ(tusave("", "check --project DEMO --station FCS0101").status, 0);
    EXPECT_EQ(e2e::read_file(db), before);
    // Another generation stamp in the project's file: the station no longer matches.
    sample::Description d = sample::default_description();
    d.stations[0].memoryGenerationStamp = d.stations[0].generationStamp + 1;
    Build(d);
    EXPECT_EQ(tusave("", "check --project DEMO --station FCS0101").status, 1);
}

}  // namespace
