// System configuration queries: station record, areas, APCS, I/O bus types, test modes, and
// what a malformed configuration gives.
#include <cstring>

#include "eda_fixture.h"
#include "libqveeda.h"
#include "libqveeda/eda_status.h"
#include "libqverxeda.h"

using edatest::EdaHome;

namespace {

using SysConfTest = EdaHome;

TEST_F(SysConfTest, StationRecordCarriesNameAndNumberAtOffset112) {
    CQVERXEdaSysObj sys;
    _OdtStnInf info;
    std::memset(&info, 0xAB, sizeof info);
    EXPECT_EQ(sys.StnConfByName("FCS0102", &info), eda::kNotBound);
    ASSERT_EQ(sys.Init("DEMO"), 0u) << eda::last_error();
    ASSERT_EQ(sys.StnConfByName("FCS0102", &info), 0u);
    EXPECT_STREQ(info.szStnName, "FCS0102");
    std::uint8_t raw[sizeof info];
    std::memcpy(raw, &info, sizeof info);
    std::uint16_t no = 0;
    std::memcpy(&no, raw + 112, 2);
    EXPECT_EQ(no, 12);
    EXPECT_EQ(raw[20], 0);  // the record is cleared, not left with old bytes

    EXPECT_EQ(sys.StnConfByName("FCS9999", &info), eda::kNoStation);
    EXPECT_EQ(sys.StnConfByName("../FCS0102", &info), eda::kBadName);
    EXPECT_EQ(sys.StnConfByName("FCS0102", nullptr), eda::kBadArgument);

    CQVERXEdaSysObj eq;
    ASSERT_EQ(eq.InitEqlz("DEMO"), 0u);
    EXPECT_EQ(eq.StnConfByName("FCS0101", &info), eda::kNoStation);
    ASSERT_EQ(eq.StnConfByName("FCS0201", &info), 0u);
    EXPECT_EQ(info.wStnNo, 2);

    EXPECT_NE(sys.Init("NOPROJECT"), 0u);
    EXPECT_EQ(sys.StnConfByName("FCS0102", &info), eda::kNotBound);  // a failed bind unbinds
}

TEST_F(SysConfTest, AreaNameInFirstEightBytesAndNoAreaCode) {
    _OdtAreaInf a;
    ASSERT_EQ(QVERXEdaFcsAreaConfByNo("DEMO", "FCS0101", 1, &a), 0u);
    EXPECT_EQ(std::string(a.szAreaName, strnlen(a.szAreaName, 8)), "AREA01");
    ASSERT_EQ(QVERXEdaFcsAreaConfByNo("DEMO", "FCS0101", 2, &a), 0u);
    EXPECT_EQ(std::string(a.szAreaName, 8), "ABCDEFGH");  // full: not terminated
    EXPECT_EQ(QVERXEdaFcsAreaConfByNo("DEMO", "FCS0101", 3, &a), QVERX_NO_AREA);
    EXPECT_EQ(QVERXEdaFcsAreaConfByNo("DEMO", "FCS0102", 1, &a), QVERX_NO_AREA);
    ASSERT_EQ(QVERXEdaFcsAreaConfByNoEqlz("DEMO", "FCS0201", 1, &a), 0u);
    EXPECT_EQ(std::string(a.szAreaName, strnlen(a.szAreaName, 8)), "EQAREA");
    EXPECT_EQ(QVERXEdaFcsAreaConfByNoEqlz("DEMO", "FCS0101", 1, &a), QVERX_NO_AREA);
}

TEST_F(SysConfTest, ApcsTestModeAndBusTypes) {
    int v = -1;
    ASSERT_EQ(QVERXEdaIsAPCS("DEMO", "FCS0102", &v), 0u);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(QVERXEdaIsAPCS("DEMO", "FCS0101", &v), 0u);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(QVERXEdaIsAPCS("DEMO", "NOSTN", &v), eda::kNoStation);

    ASSERT_EQ(QVEEdaCheckQVTestByName("DEMO", "FCS0101", &v), 0u);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(QVEEdaCheckQVTestByName("DEMO", "FCS0102", &v), 0u);
    EXPECT_EQ(v, 0);
    ASSERT_EQ(QVEEdaCheckQVTestVREC(&v), 0u);
    EXPECT_EQ(v, 1);
    write("workstation.json", "{}");
    ASSERT_EQ(QVEEdaCheckQVTestVREC(&v), 0u);
    EXPECT_EQ(v, 0);
    std::filesystem::remove(home_ + "/workstation.json");
    EXPECT_EQ(QVEEdaCheckQVTestVREC(&v), eda::kConfig);
    EXPECT_NE(eda::last_error().find(home_ + "/workstation.json"), std::string::npos);

    write("workstation.json", "{}");
    CQVEEdaFcsDatabase db;
    unsigned type = 0, other = 9;
    EXPECT_EQ(db.GetIOBusType(1, type, other), eda::kNotOpen);
    EXPECT_EQ(db.Open("DEMO", "NOSTN", 1), eda::kNoStation);
    ASSERT_EQ(db.Open("DEMO", "FCS0101", 1), 0u);
    ASSERT_EQ(db.GetIOBusType(1, type, other), 0u);
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(db.GetIOBusType(3, type, other), eda::kBadArgument);
    EXPECT_EQ(db.Close(), 0u);
    EXPECT_EQ(db.Close(), eda::kNotOpen);

    // No "ioBusTypes": the caller is told so and keeps its defaults.
    CQVEEdaFcsDatabase db2;
    ASSERT_EQ(db2.Open("DEMO", "FCS0102", 1), 0u);
    type = 42;
    EXPECT_EQ(db2.GetIOBusType(1, type, other), eda::kNotConfigured);
    EXPECT_EQ(type, 42u);
}

TEST_F(SysConfTest, MalformedSysconfigGivesNonZeroNamingTheFile) {
    const std::string file = top() + "/SYSTEM/sysconfig.json";
    const char* bad[] = {
        "{ \"stations\": [ { \"name\": \"FCS0101\", ",                        // truncated
        "{ \"stations\": [ { \"name\": \"../x\", \"number\": 1 } ] }",        // traversal name
        "{ \"stations\": [ { \"name\": \"FCS0101\", \"number\": 1, \"areas\": 5 } ] }",
    };
    for (const char* text : bad) {
        write("projects/DEMO/SYSTEM/sysconfig.json", text);
        int v = -1;
        EXPECT_EQ(QVERXEdaIsAPCS("DEMO", "FCS0101", &v), eda::kConfig) << text;
        EXPECT_NE(eda::last_error().find(file), std::string::npos) << text << ": " << eda::last_error();
        EXPECT_EQ(v, -1);
        CQVERXEdaSysObj sys;
        EXPECT_EQ(sys.Init("DEMO"), eda::kConfig) << text;
        CQVEEdaFcsDatabase db;
        EXPECT_EQ(db.Open("DEMO", "FCS0101", 1), eda::kConfig) << text;
        _OdtAreaInf a;
        EXPECT_EQ(QVERXEdaFcsAreaConfByNo("DEMO", "FCS0101", 1, &a), QVERX_NO_AREA) << text;
    }
    std::filesystem::remove(file);
    CQVERXEdaSysObj sys;
    EXPECT_EQ(sys.Init("DEMO"), eda::kConfig);
    EXPECT_NE(eda::last_error().find(file), std::string::npos);
}

}  // namespace
