// End to end over a real loopback socket: the save session against fcssim started as a
// child process, for a big-endian station and for a test station in host order.
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
#include "ZclNthmi.h"
#include "failpoint/failpoint.h"
#include "libqvecommon.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqveldc.h"
#include "port/port_host.h"
#include "ZclNthmi/zcl_host.h"
#include "core/station.h"
#include "e2e_fcssim.h"
#include "sample.h"
#include "tusave.h"
#include "tusave_bytes.h"

namespace {

namespace fs = std::filesystem;

using e2e::read_file;


class BusE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sample::Description d = sample::default_description();
        ASSERT_GE(d.stations.size(), 2u);
        d.stations[0].byteOrder = "big";
        d.stations[1].byteOrder = "host";
        d.stations[1].underTest = true;
        ASSERT_TRUE(home_.Start(d)) << "fcssim did not report its port";
        result_ = home_.result.get();
        setenv("TUSAVE_HOME", home_.dir.c_str(), 1);
    }
    static void TearDownTestSuite() {
        home_.Stop();
        unsetenv("TUSAVE_HOME");
    }
    void SetUp() override {
        failpoint::reset();
        ws::set_message_sink([this](const char* line) {
            lines.emplace_back(line);
            return 0u;
        });
        ASSERT_TRUE(home_.sim && !home_.sim->device().empty());
        char name[256];
        ASSERT_EQ(ZclGetDeviceName(name, 0), 0);
        ASSERT_EQ(ZclOpen(&bus, name, 0), 0) << ZclGetLastError();
    }
    void TearDown() override {
        ZclClose(bus);
        ws::set_message_sink(nullptr);
        g_testMode = 0;
    }

    // Runs a session for the records of the first blocks of station si and checks every
    // record delivered against the station's memory.
    void saveAndCompare(std::size_t si, const std::vector<std::string>& expectLines = {}) {
        const sample::StationResult& st = result_->stations[si];
        std::vector<std::uint8_t> image = read_file(st.databasePath);
        const std::vector<std::uint8_t> memory = read_file(st.memoryPath);
        const std::vector<std::uint8_t> userInstFile = read_file(st.userInstPath);
        ASSERT_GT(image.size(), 0x300u);
        auto* userInst = static_cast<std::uint8_t*>(__QVEEngMalloc(userInstFile.size(), "test", __LINE__));
        std::memcpy(userInst, userInstFile.data(), userInstFile.size());

        auto tc = std::make_unique<tucomn>();
        std::memset(tc.get(), 0, sizeof(tucomn));
        tc->zclHandle = bus;
        tc->stnNo = static_cast<std::uint16_t>(st.number);
        tc->areaNo = 1;
        tc->pDbImage = image.data();
        tc->dbImageSize = static_cast<std::uint32_t>(image.size());
        tc->pUserInst = userInst;
        const std::uint32_t base = tb::load_u32(image.data() + 0x240) - 0x100;
        const std::uint32_t areaAdrs = tb::load_u32(image.data() + 0x280);
        tc->areaLocalTbl_addr = image.data() + 0x200 + (areaAdrs - base);
        tc->areaRootTblAdrs = areaAdrs;

        struct Want {
            int block, rec;
            std::size_t off;
            std::uint32_t size;
        };
        std::vector<Want> want;
        for (const auto& b : st.blocks) {
            if (!b.exists() || !b.fetched) continue;
            for (const auto& r : b.records) {
                if (r.recNo != 1 && !r.saved) continue;
                if (want.size() == 80) break;
                want.push_back({b.number, r.recNo, r.offset, r.size});
                TuSaveRecEntry& e = tc->saveRecTbl[tc->saveRecCnt++];
                e.blockNo = static_cast<std::uint32_t>(b.number);
                e.recNo = static_cast<std::uint32_t>(r.recNo);
                e.blkCode = b.code;
            }
            if (want.size() >= 24) break;
        }
        ASSERT_GE(want.size(), 8u);

        ASSERT_EQ(TuSaveStartReq(tc.get()), 0) << (lines.empty() ? "" : lines[0]);
        ASSERT_EQ(TuSaveReq(tc.get()), 0) << (lines.empty() ? "" : lines[0]);
        ASSERT_GT(tc->upDataSize, static_cast<std::int32_t>(kTuRtnDataMax)) << "the upload must take several chunks";
        std::vector<std::uint8_t> buf(static_cast<std::size_t>(tc->upDataSize));
        const std::uint32_t serialBefore = tc->reqSerial;
        ASSERT_EQ(TuUpLoadReq(buf.data(), tc.get()), 0) << (lines.empty() ? "" : lines[0]);
        EXPECT_GE(tc->reqSerial - serialBefore, 2u);
        ASSERT_EQ(TuSaveEndReq(tc.get()), 0) << (lines.empty() ? "" : lines[0]);
        EXPECT_EQ(lines, expectLines);

        std::size_t off = 0, k = 0, differing = 0;
        while (off < buf.size()) {
            ASSERT_LT(k, want.size());
            ASSERT_LE(off + 16, buf.size());
            const std::uint8_t* it = buf.data() + off;
            EXPECT_EQ(tb::load_u16(it), 0) << "item status";
            EXPECT_EQ(it[4], 1);
            EXPECT_EQ(it[5], want[k].rec);
            EXPECT_EQ(tb::load_i16(it + 6), want[k].block);
            const std::uint32_t n = tb::load_u32(it + 12);
            ASSERT_EQ(n, want[k].size);
            ASSERT_LE(off + 16 + n, buf.size());
            ASSERT_LE(want[k].off + n, memory.size());
            EXPECT_EQ(std::memcmp(it + 16, memory.data() + want[k].off, n), 0)
                << "block " << want[k].block << " record " << want[k].rec;
            differing += std::memcmp(it + 16, image.data() + want[k].off, n) != 0;
            off += 16 + n;
            ++k;
        }
        EXPECT_EQ(k, want.size());
        EXPECT_GT(differing, 0u) << "the station's values must differ from the project's";
        __QVEEngFree(userInst, "test", __LINE__);
    }

    static inline e2e::SampleHome home_;
    static inline sample::Result* result_ = nullptr;
    HANDLE bus = nullptr;
    std::vector<std::string> lines;
};

TEST_F(BusE2E, BigEndianStationRecordsEqualItsMemory) {
    g_testMode = 0;
    saveAndCompare(0);
}

TEST_F(BusE2E, TestStationInHostOrderRecordsEqualItsMemory) {
    g_testMode = 1;
    saveAndCompare(1);
}

// A differing stamp is the client's comparison, proven with exact lines in zcl_test.
TEST_F(BusE2E, GenerationCheckAgreesWithBothStations) {
    for (std::size_t si : {0u, 1u}) {
        int detail = -1;
        EXPECT_EQ(LdCheckGenTime(bus, "", "", "DEMO", result_->stations[si].name.c_str(), nullptr,
                                 result_->stations[si].databasePath.c_str(), &detail, 0),
                  0)
            << detail;
    }
}

// The simulator core in-process with virtual waits: a busy reply, two ask-again answers and
// 300-byte chunks, all inside one session.
TEST_F(BusE2E, InProcessStationWithBusyAskAgainAndSmallChunks) {
    const sample::StationResult& st = result_->stations[0];
    fcs::Config cfg = fcs::load_config(fs::path(st.stationJsonPath).parent_path().string());
    std::string err;
    auto sc = fcs::Scenario::parse(R"({"chunkSize": 300, "rules": [
        {"command": "upload", "nth": 1, "status": 22},
        {"command": "upload", "nth": 3, "times": 2, "result": 38466}]})", err);
    ASSERT_TRUE(sc) << err;
    cfg.scenario = *sc;
    auto station = std::make_shared<fcs::Station>(std::move(cfg));
    std::vector<std::uint32_t> uploadSerials;
    zcl::register_inproc("bus-e2e", [station, &uploadSerials](std::span<const std::uint8_t> req)
                                        -> std::optional<zcl::Frame> {
        if (req.size() >= 56 && req[34] == 0x24) uploadSerials.push_back(tb::load_be16(req.data() + 44));
        fcs::Reply r = station->handle(req);
        if (r.frame.empty()) return std::nullopt;
        return r.frame;
    });
    ZclClose(bus);
    ASSERT_EQ(ZclOpen(&bus, "inproc:bus-e2e", 0), 0);
    failpoint::arm("Sleep", 0, 1, true);
    g_testMode = 0;
    saveAndCompare(0, {"return E_RBUF_BUSY"});
    std::size_t sleeps = 0;
    for (const auto& w : failpoint::waits()) sleeps += w.name == "Sleep" && w.ms == 1000;
    EXPECT_EQ(sleeps, 3u);   // one after the busy reply, one after each ask-again
    ASSERT_GE(uploadSerials.size(), 5u);
    EXPECT_EQ(uploadSerials[0], uploadSerials[1]);   // the busy frame went out again unchanged
    for (std::size_t i = 2; i < uploadSerials.size(); ++i) EXPECT_EQ(uploadSerials[i], uploadSerials[i - 1] + 1);
    EXPECT_FALSE(station->session_open());
    zcl::unregister_inproc("bus-e2e");
}

}  // namespace
