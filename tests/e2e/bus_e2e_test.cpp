// Whole saves through the control bus: a test station in host order served by fcssim over a real
// loopback socket (a big-endian one: upload_e2e_test), and the simulator core in-process
// answering busy, ask-again and in 300-byte chunks, all inside one session.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "../library/ctrl_fixture.h"
#include "e2e_fcssim.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqveldtusave.h"
#include "sample.h"
#include "tusave.h"
#include "tusave_bytes.h"

namespace {

// A sample made by the CLI with stations in host order: test stations, so a plain save of each
// over the socket succeeds, with the station's values.
TEST(BusE2E, HostOrderSampleFromTheCliIsSavedAsBuilt) {
    char tmpl[] = "/tmp/tusave-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string tusave = std::string("'") + TUSAVE_BUILD_DIR + "/tools/tusave/tusave' ";
    ASSERT_EQ(e2e::shell(tusave + "sample --byte-order host '" + dir + "' >/dev/null"), 0);
    {
        e2e::Fcssim sim(dir);
        ASSERT_FALSE(sim.device().empty());
        nlohmann::json ws;
        std::ifstream(dir + "/workstation.json") >> ws;
        ws["controlBus"] = sim.device();
        std::ofstream(dir + "/workstation.json", std::ios::trunc) << ws.dump();
        for (const char* station : {"FCS0101", "FCS0102"}) {
            std::vector<std::string> lines;
            EXPECT_EQ(e2e::shell("TUSAVE_HOME='" + dir + "' " + tusave + "save --project DEMO --station " + station +
                                     " --raw",
                                 &lines),
                      0)
                << ::testing::PrintToString(lines);
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.back(), "RESULT 0x00000000");
        }
    }
    // Where each saved record lies: the same sample built again beside it.
    sample::Description d = sample::default_description();
    for (auto& s : d.stations) s.byteOrder = "host";
    const std::string ref = dir + ".ref";
    const sample::Result res = sample::build(d, ref);
    for (sample::StationResult st : res.stations) {
        st.databasePath = dir + st.databasePath.substr(ref.size());
        st.memoryPath = dir + st.memoryPath.substr(ref.size());
        EXPECT_GT(e2e::expect_saved_records_equal_memory(st), 0u) << st.name;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::remove_all(ref, ec);
}

using BusInProcess = ctrl_test::CtrlSave;

TEST_F(BusInProcess, BusyAskAgainAndSmallChunksStillSaveTheStationsValues) {
    build(ctrl_test::kStamp, R"({"chunkSize": 300, "rules": [
        {"command": "upload", "nth": 1, "status": 22},
        {"command": "upload", "nth": 3, "times": 2, "result": 38466}]})");
    // Record the upload serials on their way to the simulator.
    auto station = stations_.at(1);
    std::vector<std::uint32_t> uploadSerials;
    zcl::unregister_inproc("ctrl");
    zcl::register_inproc("ctrl", [&](std::span<const std::uint8_t> req) -> std::optional<zcl::Frame> {
        if (req.size() < 56 || (req[34] != 0x1F && req[34] != 0x21 && req[34] != 0x24)) {   // the generation query
            zcl::Frame rep(96, 0);
            std::copy(req.begin(), req.begin() + std::min<std::size_t>(32, req.size()), rep.begin());
            tb::store_u16(rep.data() + 64, 0x0102);
            tb::store_u64(rep.data() + 72, ctrl_test::kStamp);
            return rep;
        }
        if (req[34] == 0x24) uploadSerials.push_back(tb::load_be16(req.data() + 44));
        fcs::Reply r = station->handle(req);
        if (r.frame.empty()) return std::nullopt;
        return r.frame;
    });
    failpoint::arm("Sleep", 0, 1, true);
    ASSERT_EQ(save("FCS0101", 2, 0), 0u) << ::testing::PrintToString(lines);
    EXPECT_TRUE(has_line("return E_RBUF_BUSY"));
    EXPECT_GT(e2e::expect_saved_records_equal_memory(st("FCS0101")), 0u);
    std::size_t sleeps = 0;
    for (const auto& w : failpoint::waits()) sleeps += w.name == "Sleep" && w.ms == 1000;
    EXPECT_EQ(sleeps, 3u);   // one after the busy reply, one after each ask-again
    ASSERT_GE(uploadSerials.size(), 5u);
    EXPECT_EQ(uploadSerials[0], uploadSerials[1]);   // the busy frame went out again unchanged
    EXPECT_EQ(uploadSerials[3], uploadSerials[2] + 1);   // an ask-again is a new request
    EXPECT_FALSE(station->session_open());
}

}  // namespace
