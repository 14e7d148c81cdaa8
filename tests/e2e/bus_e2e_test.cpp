// Whole saves through the control bus: a test station in host order served by fcssim over a real
// loopback socket (a big-endian one: upload_e2e_test), and the simulator core in-process
// answering busy, ask-again and in 300-byte chunks, all inside one session.
#include <gtest/gtest.h>

#include "../library/ctrl_fixture.h"
#include "e2e_fcssim.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqveldtusave.h"
#include "sample.h"
#include "tusave.h"
#include "tusave_bytes.h"

namespace {

TEST(BusE2E, TestStationInHostOrderIsSavedOverTheSocket) {
    sample::Description d = sample::default_description();
    d.stations[1].byteOrder = "host";
    d.stations[1].underTest = true;
    e2e::SampleHome home;
    ASSERT_TRUE(home.Start(d)) << "fcssim did not report its port";
    setenv("TUSAVE_HOME", home.dir.c_str(), 1);
    std::vector<std::string> lines;
    ws::set_message_sink([&](const char* l) {
        lines.emplace_back(l);
        return 0u;
    });
    const sample::StationResult& st = home.result->stations[1];
    EXPECT_EQ(QVELdFcsTuningParmSave("P1", "P2", "DEMO", st.name.c_str(), 2, 0, 7), 0u)
        << ::testing::PrintToString(lines);
    ws::set_message_sink(nullptr);
    unsetenv("TUSAVE_HOME");
    g_testMode = 0;
    EXPECT_GT(e2e::expect_saved_records_equal_memory(st), 0u);
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
