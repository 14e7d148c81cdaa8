// The upload driver: connection, station-wide set-up, order of the areas.
#include <nlohmann/json.hpp>

#include "upload_support.h"

namespace {

using namespace uptest;

class UploadDriver : public UploadTest {
protected:
    void buildStation(sample::Description d, const std::string& scenario = "{}") {
        d.stations.resize(1);
        d.stations[0].byteOrder = "host";
        d.stations[0].underTest = true;
        build(d, scenario);
        pointBusAt("inproc:upload-test");
        ASSERT_EQ(sysObj.Init("DEMO"), 0u);
    }
    void pointBusAt(const std::string& device) {
        nlohmann::json ws;
        {
            std::ifstream in(result_->workstationJson);
            in >> ws;
        }
        ws["controlBus"] = device;
        std::ofstream(result_->workstationJson, std::ios::trunc) << ws.dump(2);
    }
    int upload(const char* station) {
        return TuFcsUpLoad("P1", "P2", "DEMO", station, 2, 7, image.data(), nullptr, &sysObj, &saved, 0,
                           static_cast<std::uint32_t>(image.size()));
    }
    // The instance definitions were closed when they can be opened again.
    void expectInstClosed() {
        EXPECT_EQ(IEdalInstOpenForTP("DEMO", st_->name.c_str(), 2), 0);
        IEdalInstClose();
    }
    CQVERXEdaSysObj sysObj;
};

TEST_F(UploadDriver, WholeUploadSavesTheStationPartThenTheArea) {
    buildStation(sample::default_description());
    ASSERT_EQ(upload(st_->name.c_str()), 0) << ::testing::PrintToString(lines);
    ASSERT_FALSE(requests.empty());
    // Two sessions: area 0 first, then area 1.
    std::vector<int> starts;
    for (const auto& r : requests)
        if (r.cmd == 0x1F && r.sub == 1) starts.push_back(r.frame[36]);
    EXPECT_EQ(starts, (std::vector<int>{0, 1}));
    EXPECT_EQ(requests.back().cmd, 0x1F);
    EXPECT_EQ(requests.back().sub, 2);
    // What the sessions bring: upload_e2e_test.
    EXPECT_EQ(lines, (std::vector<std::string>{"MSG:T6040:AREA01", "MSG:T6041:AREA01"}));
    expectInstClosed();
}

TEST_F(UploadDriver, UnknownStationMakesNoBusCallAndClosesTheDefinitions) {
    buildStation(sample::default_description());
    CQVERXEdaSysObj unbound;   // knows no station
    EXPECT_EQ(TuFcsUpLoad("P1", "P2", "DEMO", st_->name.c_str(), 2, 7, image.data(), nullptr, &unbound, &saved, 0,
                          static_cast<std::uint32_t>(image.size())),
              1);
    EXPECT_EQ(lines, std::vector<std::string>{"ERR:Can't get Station Information on master System Configuration"});
    EXPECT_TRUE(requests.empty());
    expectInstClosed();
}

TEST_F(UploadDriver, FailedBusOpenReportsTheBusError) {
    buildStation(sample::default_description());
    pointBusAt("inproc:nobody-here");
    EXPECT_EQ(upload(st_->name.c_str()), 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("ERR:T6048: dwRtn = ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0], "ERR:T6048: dwRtn = 0");
    EXPECT_TRUE(requests.empty());
    expectInstClosed();
}

TEST_F(UploadDriver, FailedDefinitionsOpenEndsAtOnce) {
    buildStation(sample::default_description());
    EXPECT_EQ(upload("NOSUCH"), 1);
    EXPECT_EQ(lines, std::vector<std::string>{"ERR:TuGetStation(): EdalOpen() error"});
    EXPECT_TRUE(requests.empty());
}

TEST_F(UploadDriver, BusTypesFallBackToTheConstantTableDefaults) {
    buildStation(sample::default_description());
    prepareArea();
    // Bus 1 has type-1 nodes, bus 2 type-2 nodes (station FCS0101 of the sample).
    TuSetStationInfo(tc.get());
    EXPECT_EQ(tc->opeCnt21, 3);
    EXPECT_EQ(tc->opeCnt27, 1);
    EXPECT_NE(tc->opeTbl27, nullptr);
    // Without the station database object, 0 at +0x76 and +0x78: bus 1 type 1, bus 2 none.
    tb::store_u16(image.data() + 0x300 + 0x76, 0);
    tb::store_u16(image.data() + 0x300 + 0x78, 0);
    tc->station = "NOSUCH";
    TuSetStationInfo(tc.get());
    EXPECT_EQ(tc->opeCnt21, 3);
    EXPECT_EQ(tc->opeCnt27, 0);
    EXPECT_EQ(tc->opeTbl27, nullptr);
    EXPECT_EQ(tc->opeCnt22 + tc->opeCnt28 + tc->opeCnt29 + tc->opeCnt30, 0);
}

TEST_F(UploadDriver, UnknownAreaIsSkippedWithAWarning) {
    sample::Description d = sample::default_description();
    d.stations.resize(1);
    d.stations[0].areas = {sample::Area{2, "AREA02"}};
    buildStation(d);
    ASSERT_EQ(upload(st_->name.c_str()), 0) << ::testing::PrintToString(lines);
    for (const auto& r : requests) EXPECT_EQ(r.frame[36], 0) << "only the station-wide session";
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(lines, std::vector<std::string>{"WRN:TuConvAreaNameToNo(): area 1 of " + st_->name +
                                              " is not in the system configuration; its blocks are not saved"});
}

TEST_F(UploadDriver, FailedStationWideOperationMarkClosesTheSession) {
    buildStation(sample::default_description(), R"({"rules": [{"command": "save", "kind": 10, "result": 37906}]})");
    EXPECT_EQ(upload(st_->name.c_str()), 1);
    ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_NE(lines[0].find("T6045:0x9412"), std::string::npos) << lines[0];
    EXPECT_EQ(requests.back().cmd, 0x1F);
    EXPECT_EQ(requests.back().sub, 2);
    EXPECT_FALSE(station_->session_open());
    expectInstClosed();
}

TEST_F(UploadDriver, UploadStepMapsFailureToItsCode) {
    buildStation(sample::default_description());
    LdTuSaveCtrlInf inf;
    inf.strProject = "DEMO";
    inf.strStation = st_->name;
    inf.projectKind = 2;
    inf.pDbImage = image.data();
    inf.dbImageSize = static_cast<std::uint32_t>(image.size());
    ASSERT_EQ(inf.sysObj.Init("DEMO"), 0u);
    inf.strStation = "NOSUCH";
    EXPECT_EQ(LdTuSaveCtrlGetFcs(&inf, &saved), 0x20234104u);
}

}  // namespace
