// Message buffer, memory count, file service, current project, logs, time, folders and
// EUC conversion.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "LibQVCCommon.h"
#include "libqvccnvcode.h"
#include "libqvecommon.h"
#include "libqvecommon/qvecommon_host.h"
#include "common_fixture.h"

using Common = WsTemp;

TEST(CommonMessages, LinesGoToTheSinkAndAreRefusedWithoutOne) {
    ws::set_message_sink({});
    EXPECT_NE(QVEEngPutMsgBuf("MSG:x"), 0u);
    std::vector<std::string> lines;
    ws::set_message_sink([&](const char* l) {
        lines.push_back(l);
        return lines.size() == 2 ? 7u : 0u;
    });
    EXPECT_EQ(QVEEngPutMsgBuf("PRG:05"), 0u);
    EXPECT_EQ(QVEEngPutMsgBuf("ERR:a b"), 7u);
    EXPECT_EQ(lines, (std::vector<std::string>{"PRG:05", "ERR:a b"}));
    ws::set_message_sink({});
}

TEST(CommonMemory, CountExposesALeakWithItsSource) {
    const std::size_t before = ws::live_allocations();
    void* a = __QVEEngMalloc(100, "LdTuSaveDBRead", 42);
    void* b = __QVEEngMalloc(0, "tswrite", 7);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ws::live_allocations(), before + 2);
    EXPECT_EQ(ws::allocation_size(a), 100u);
    __QVEEngFree(b, "tswrite", 8);
    EXPECT_EQ(ws::live_allocations(), before + 1);  // a is the leak
    auto sites = ws::live_allocation_sites();
    ASSERT_FALSE(sites.empty());
    EXPECT_EQ(sites.back(), "LdTuSaveDBRead:42 100");
    __QVEEngFree(a, "LdTuSaveDBRead", 50);
    EXPECT_EQ(ws::live_allocations(), before);
    EXPECT_EQ(ws::allocation_size(a), 0u);
}

TEST(CommonMemory, FreeingAnUnknownOrFreedPointerIsCountedNotFatal) {
    const std::size_t bad = ws::bad_frees();
    int local = 0;
    __QVEEngFree(&local, "test", 1);
    void* p = __QVEEngMalloc(8, "test", 2);
    __QVEEngFree(p, "test", 3);
    __QVEEngFree(p, "test", 4);  // twice
    __QVEEngFree(nullptr, "test", 5);
    EXPECT_EQ(ws::bad_frees(), bad + 2);
}

TEST_F(Common, ArmedCloseStillClosesTheHandle) {
    write(path("a"), "x");
    HANDLE h = nullptr;
    ASSERT_EQ(QVEEngCreateFile(path("a").c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, 0, nullptr, &h, 1), 0u);
    failpoint::arm("QVEEngCloseFile", 5);
    EXPECT_EQ(QVEEngCloseFile(h, 1), 5u);
    failpoint::reset();
    EXPECT_NE(QVEEngCloseFile(h, 1), 0u);  // already closed
    HANDLE again = nullptr;
    EXPECT_EQ(QVEEngCreateFile(path("a").c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, 0, nullptr, &again, 1), 0u);
    EXPECT_EQ(QVEEngCloseFile(again, 1), 0u);
}

TEST_F(Common, CurrentProjectComesFromWorkstationJson) {
    int cur = -1;
    EXPECT_NE(QVEEngIsCurrentProject("DEMO", &cur), 0u);  // no workstation.json
    write(path("workstation.json"), R"({"currentProject": "DEMO"})");
    ASSERT_EQ(QVEEngIsCurrentProject("DEMO", &cur), 0u);
    EXPECT_EQ(cur, 1);
    ASSERT_EQ(QVEEngIsCurrentProject("OTHER", &cur), 0u);
    EXPECT_EQ(cur, 0);
    write(path("workstation.json"), R"({"currentProject": )");
    EXPECT_NE(QVEEngIsCurrentProject("DEMO", &cur), 0u);
}

class CommonLogs : public WsTemp {
protected:
    void SetUp() override {
        WsTemp::SetUp();
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        ::setenv("TUSAVE_FIXED_TIME", "1038478500", 1);  // 2002/11/28 10:15:00 UTC
    }
    void TearDown() override {
        ::unsetenv("TUSAVE_FIXED_TIME");
        WsTemp::TearDown();
    }
};

TEST_F(CommonLogs, HistoryAndErrorLinesAppendOnePerEntry) {
    QVCInitHistoryLog("DEMO", "FCS0101", nullptr);
    QVCPutHistoryLogLoad("TP ", "start", "FCS0101");
    QVCPutHistoryLogLoad("TP ", "end\tx\n", "FCS0101");
    EXPECT_EQ(read(path("log/history.log")),
              "2002/11/28 10:15:00\tDEMO\tFCS0101\tTP \tstart\tFCS0101\n"
              "2002/11/28 10:15:00\tDEMO\tFCS0101\tTP \tend x \tFCS0101\n");
    _QVCPutErrorLog("DEMO", "libqveldtusave.cpp", 321);
    EXPECT_EQ(read(path("log/error.log")), "2002/11/28 10:15:00\tDEMO\tlibqveldtusave.cpp\t321\n");
}

TEST_F(CommonLogs, FixedTimeAndLocalTime) {
    std::time_t t = 0;
    EXPECT_EQ(QVCTime(&t), 1038478500);
    EXPECT_EQ(t, 1038478500);
    struct tm* tm = QVCLocaltime(&t);
    ASSERT_NE(tm, nullptr);
    EXPECT_STREQ(QVCCtime(&t), "Thu Nov 28 10:15:00 2002\n");
    struct tm* other = nullptr;
    std::thread([&] { other = QVCLocaltime(&t); }).join();
    EXPECT_NE(other, tm);  // each thread has its own
    ::setenv("TUSAVE_FIXED_TIME", "12abc", 1);
    EXPECT_GT(QVCTime(nullptr), 1038478500);  // not a number: the real clock
}

TEST_F(Common, TopDirAndCatDirStayWithinTheBuffer) {
    char buf[256];
    ASSERT_EQ(QVCGetQVTopDir(buf, sizeof buf), 0u);
    EXPECT_EQ(std::string(buf), dir);
    char small[4] = "abc";
    EXPECT_NE(QVCGetQVTopDir(small, sizeof small), 0u);
    EXPECT_STREQ(small, "abc");

    char d[12] = "/top";
    ASSERT_EQ(QVCCatDir(d, "FCS", sizeof d), 0u);
    EXPECT_STREQ(d, "/top/FCS");
    ASSERT_EQ(QVCCatDir(d, "/ab", sizeof d), 0u);  // 11 characters and the NUL: exactly fits
    EXPECT_STREQ(d, "/top/FCS/ab");
    EXPECT_NE(QVCCatDir(d, "x", sizeof d), 0u);
    EXPECT_STREQ(d, "/top/FCS/ab");
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_NE(QVCCatDir(unterminated, "x", sizeof unterminated), 0u);
}

TEST(CommonEuc, JapaneseTextConvertsToCp932WithoutOverrun) {
    const char euc[] = "\xC6\xFC\xCB\xDC\xB8\xEC-A\x8E\xB1";  // Japanese, '-', 'A', half-width katakana
    char out[32];
    ASSERT_EQ(QVCEucToWincode(euc, out, sizeof out, 1), 9);
    EXPECT_STREQ(out, "\x93\xFA\x96\x7B\x8C\xEA-A\xB1");
    // Wave dash and a circled digit of the vendor row, both present in the code page.
    ASSERT_EQ(QVCEucToWincode("\xA1\xC1\xAD\xA1", out, sizeof out, 1), 4);
    EXPECT_STREQ(out, "\x81\x60\x87\x40");
    // A too small target or invalid input is refused, nothing written past the room.
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(QVCEucToWincode(euc, out, 6, 1), -1);  // needs 10 with the NUL
    EXPECT_EQ(out[0], '\0');
    for (int i = 6; i < 10; ++i) EXPECT_EQ(out[i], 'Z');
    EXPECT_EQ(QVCEucToWincode("\xC6", out, sizeof out, 1), -1);      // cut character
    EXPECT_EQ(QVCEucToWincode("a\xFF\xFF", out, sizeof out, 1), -1);  // not EUC-JP
    EXPECT_EQ(out[0], '\0');
}
