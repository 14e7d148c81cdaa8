// End to end over a loopback socket: after a save of a 2000-block sample station, every block
// edit file, working copy, the station's edit file and the AN message file are byte for byte
// what the sample builder computes from the files as built and the station's memory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "e2e_fcssim.h"
#include "libqveldtusave.h"
#include "libqvecommon/qvecommon_host.h"
#include "sample.h"

namespace {

namespace fs = std::filesystem;

TEST(EditE2E, SaveLeavesEveryEditFileAsTheStationHoldsIt) {
    char tmpl[] = "/tmp/edit-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string home = tmpl;
    struct Cleanup {
        std::string dir;
        ~Cleanup() {
            std::error_code ec;
            fs::remove_all(dir, ec);
            unsetenv("TUSAVE_HOME");
        }
    } cleanup{home};

    sample::Description d = sample::default_description();
    d.stations.resize(1);
    d.stations[0].blocks = 2000;
    d.stations[0].anMessages = 40;
    const sample::Result result = sample::build(d, home);
    const sample::StationResult& st = result.stations[0];
    setenv("TUSAVE_HOME", home.c_str(), 1);
    e2e::Fcssim sim(home);
    ASSERT_FALSE(sim.device().empty()) << "fcssim did not report its port";
    std::ofstream(result.workstationJson) << R"({"currentProject": "DEMO", "controlBus": ")" << sim.device() << "\"}";

    const auto expected = sample::expected_edit_files(d, st);
    std::size_t changed = 0, workCopies = 0;
    for (const auto& [path, bytes] : expected) {
        changed += e2e::read_file(path) != bytes;
        workCopies += path.ends_with(".wkf");
    }
    // Most files change; some (blocks the save does not list) must not.
    ASSERT_GT(changed, expected.size() / 2);
    ASSERT_LT(changed, expected.size());
    ASSERT_GT(workCopies, 50u);

    std::vector<std::string> lines;
    ws::set_message_sink([&lines](const char* line) {
        lines.emplace_back(line);
        return 0u;
    });
    const unsigned rc = QVELdFcsTuningParmSave("P1", "P2", "DEMO", st.name.c_str(), 2, 0, 7);
    ws::set_message_sink(nullptr);
    ASSERT_EQ(rc, 0u) << ::testing::PrintToString(lines);
    for (const std::string& l : lines) EXPECT_NE(l.rfind("ERR:", 0), 0u) << l;

    for (const auto& [path, bytes] : expected) {
        const std::vector<std::uint8_t> got = e2e::read_file(path);
        ASSERT_EQ(got.size(), bytes.size()) << path;
        std::size_t k = 0;
        while (k < got.size() && got[k] == bytes[k]) ++k;
        EXPECT_EQ(k, got.size()) << path << " differs first at byte " << k;
    }
    // No temporary left beside the files.
    for (const auto& e : fs::recursive_directory_iterator(result.projectDir))
        EXPECT_FALSE(e.path().filename().string().ends_with(".tmp")) << e.path();
}

}  // namespace
