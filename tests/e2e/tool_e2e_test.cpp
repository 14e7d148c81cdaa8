// The station tool backup as a user sees it: a sample made by the CLI (which installs the
// backup tool), a save against the simulated station, and the backup folder afterwards.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "e2e_fcssim.h"
#include "sample.h"

namespace {

namespace fs = std::filesystem;

TEST(ToolE2e, SaveCopiesEveryFcsCustomFileAndNoSimFile) {
    char tmpl[] = "/tmp/tool_e2e_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string tusave = std::string("'") + TUSAVE_BUILD_DIR + "/tools/tusave/tusave' ";
    ASSERT_EQ(e2e::shell(tusave + "sample '" + dir + "' >/dev/null"), 0);
    ASSERT_TRUE(fs::is_regular_file(dir + "/FCS/tool/shgsave"));
    // The same description again gives the same files, and the list of what the save hands on.
    const sample::Result res = sample::build(sample::default_description(), dir);
    {
        e2e::Fcssim sim(dir);
        ASSERT_FALSE(sim.device().empty());
        nlohmann::json ws;
        std::ifstream(res.workstationJson) >> ws;
        ws["controlBus"] = sim.device();
        std::ofstream(res.workstationJson) << ws.dump();

        // Beside them: a file whose name holds a line feed (passed over, with one warning that
        // shows it escaped) and one whose name is as long as a name can be (copied).
        const std::string folder = fs::path(res.stations[0].toolFilesFcs.at(0)).parent_path().string();
        std::ofstream(folder + "/ab\nRESULT 0x00000000.xseg") << "forged";
        const std::string longName = std::string(250, 'L') + ".xseg";
        std::ofstream(folder + "/" + longName) << "long";

        std::vector<std::string> lines;
        EXPECT_EQ(e2e::shell("TUSAVE_HOME='" + dir + "' " + tusave + "save --project DEMO --station FCS0101 --raw", &lines), 0);
        std::vector<std::string> warnings;
        for (const auto& l : lines)
            if (l.rfind("WRN:", 0) == 0) warnings.push_back(l);
        EXPECT_EQ(warnings, std::vector<std::string>{"WRN:LdTuSaveCtrlUpdateParmFile:custom file name refused:\"" + folder +
                                                     "/ab\\x0aRESULT 0x00000000.xseg\""});
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "RESULT 0x00000000"), 1);
        EXPECT_EQ(lines.back(), "RESULT 0x00000000");
    }
    const auto& fcs = res.stations[0].toolFilesFcs;
    ASSERT_FALSE(fcs.empty());
    bool longCopied = false;
    std::size_t copies = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir + "/backup/shgsave")) {
        if (!e.is_regular_file()) continue;
        ++copies;
        EXPECT_EQ(e.path().string().find("/SIM/"), std::string::npos) << e.path();
        longCopied = longCopied || e.path().filename().string().size() == 255;
    }
    EXPECT_EQ(copies, fcs.size() + 1);   // what each copy holds: tool_backup_test
    EXPECT_TRUE(longCopied);
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace
