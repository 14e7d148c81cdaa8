// The backup tool program: argument checks, I/O errors and what it logs for each run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../workstation/common_fixture.h"
#include "port.h"

namespace {

namespace fs = std::filesystem;

class Shgsave : public WsTemp {
protected:
    void SetUp() override {
        WsTemp::SetUp();
        file = path("p/FCS0101/Custom/C1/FCS/a b.xseg");
        fs::create_directories(fs::path(file).parent_path());
        write(file, "custom");
        write(path("workstation.json"), R"({"backupDir": "bk"})");
    }
    void TearDown() override {
        unsetenv("TUSAVE_FAILPOINTS");
        WsTemp::TearDown();
    }
    // Exit status of one run, -1 when it did not run.
    static int run(const std::vector<std::string>& args) {
        const std::string tool = std::string(TUSAVE_BUILD_DIR) + "/tools/shgsave/shgsave";
        std::vector<std::string> argv{tool};
        argv.insert(argv.end(), args.begin(), args.end());
        HANDLE p = nullptr;
        if (!CreateProcessV(tool.c_str(), argv, &p)) return -1;
        DWORD code = 0;
        const bool ok = WaitForSingleObject(p, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(p, &code);
        CloseHandle(p);
        return ok ? static_cast<int>(code) : -1;
    }
    // The outcome field of the last log line.
    std::string outcome() const {
        std::ifstream in(path("log/shgsave.log"));
        std::string line, last;
        while (std::getline(in, line)) last = line;
        return last.substr(last.rfind('\t') + 1);
    }
    std::string file;
};

TEST_F(Shgsave, RefusedArgumentsAndIoErrorsCopyNothing) {
    const std::string dotted = path("p/FCS0101/Custom/../FCS/a b.xseg");
    const std::vector<std::vector<std::string>> usage = {
        {}, {"-x", "dev", "1-1", file}, {"-h", "", "1-1", file}, {"-h", "dev", "1-256", file},
        {"-h", "dev", "1", file}, {"-h", "dev", "1--1", file}, {"-h", "dev", "1-1", path("p/a.xseg")},
        {"-h", "dev", "1-1", dotted}, {"-h", "dev", "1-1", file, "extra"},
    };
    for (const auto& c : usage) {
        EXPECT_EQ(run(c), 2) << testing::PrintToString(c);
        EXPECT_EQ(outcome().rfind("usage error: ", 0), 0u) << outcome();
    }
    EXPECT_FALSE(fs::exists(path("bk")));

    EXPECT_EQ(run({"-h", "dev", "1-1", path("p/FCS0101/Custom/C1/FCS/none.xseg")}), 1);
    EXPECT_EQ(outcome(), "failed: cannot copy to " + path("bk/shgsave/1-1/C1/FCS/none.xseg") +
                             ": No such file or directory");
    setenv("TUSAVE_FAILPOINTS", "CopyFileA=28", 1);
    EXPECT_EQ(run({"-h", "dev", "1-1", file}), 1);
    unsetenv("TUSAVE_FAILPOINTS");
    EXPECT_FALSE(fs::exists(path("bk/shgsave/1-1/C1/FCS/a b.xseg")));
    write(path("workstation.json"), R"({"backupDir": "bk2"})");
    write(path("bk2"), "a file where the backup folder belongs");
    EXPECT_EQ(run({"-h", "dev", "1-1", file}), 1);
    EXPECT_EQ(outcome(), "failed: " + path("bk2/shgsave/1-1/C1/FCS") + ": Not a directory");
}

}  // namespace
