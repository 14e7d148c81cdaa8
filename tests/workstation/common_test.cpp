// Workstation core: current project, logs, time, folders, EUC conversion, the configuration
// files (hostile ones too) and the failpoint registry.
#include <fcntl.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "LibQVCCommon.h"
#include "common_fixture.h"
#include "config/ws_config.h"
#include "libqvccnvcode.h"
#include "libqvecommon.h"
#include "libqvecommon/qvecommon_host.h"

using Common = WsTemp;
using Clock = std::chrono::steady_clock;

TEST_F(Common, CurrentProjectComesFromWorkstationJson) {
    int cur = -1, other = -1;
    EXPECT_NE(QVEEngIsCurrentProject("DEMO", &cur), 0u);  // no workstation.json
    write(path("workstation.json"), R"({"currentProject": "DEMO"})");
    ASSERT_EQ(QVEEngIsCurrentProject("DEMO", &cur) | QVEEngIsCurrentProject("OTHER", &other), 0u);
    EXPECT_EQ(std::pair(cur, other), std::pair(1, 0));
    write(path("workstation.json"), R"({"currentProject": )");
    EXPECT_NE(QVEEngIsCurrentProject("DEMO", &cur), 0u);
}

TEST_F(Common, LogsAndTimeAtAFixedMoment) {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    ::setenv("TUSAVE_FIXED_TIME", "1038478500", 1);  // 2002/11/28 10:15:00 UTC
    QVCInitHistoryLog("DEMO", "FCS0101", nullptr);
    QVCPutHistoryLogLoad("TP ", "start", "FCS0101");
    QVCPutHistoryLogLoad("TP ", "end\tx\n", "FCS0101");
    EXPECT_EQ(read(path("log/history.log")),
              "2002/11/28 10:15:00\tDEMO\tFCS0101\tTP \tstart\tFCS0101\n"
              "2002/11/28 10:15:00\tDEMO\tFCS0101\tTP \tend x \tFCS0101\n");
    _QVCPutErrorLog("DEMO", "libqveldtusave.cpp", 321);
    EXPECT_EQ(read(path("log/error.log")), "2002/11/28 10:15:00\tDEMO\tlibqveldtusave.cpp\t321\n");
    // The fixed time, its text and local time: the TP write test of the library.
    std::time_t t = 1038478500;
    struct tm *tm = QVCLocaltime(&t), *other = nullptr;
    std::thread([&] { other = QVCLocaltime(&t); }).join();
    EXPECT_NE(other, tm);  // each thread has its own
    ::unsetenv("TUSAVE_FIXED_TIME");
}

TEST_F(Common, TopDirCatDirAndEucConversionStayWithinTheBuffer) {
    // The top folder itself: the tool backup test of the library.
    char small[4] = "abc", d[12] = "/top", unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_TRUE(QVCGetQVTopDir(small, sizeof small) != 0u && std::string(small) == "abc");
    ASSERT_EQ(QVCCatDir(d, "FCS", sizeof d), 0u);
    EXPECT_STREQ(d, "/top/FCS");
    ASSERT_EQ(QVCCatDir(d, "/ab", sizeof d), 0u);  // 11 characters and the NUL: exactly fits
    EXPECT_NE(QVCCatDir(d, "x", sizeof d), 0u);     // one more: refused, the folder as it was
    EXPECT_STREQ(d, "/top/FCS/ab");
    EXPECT_NE(QVCCatDir(unterminated, "x", sizeof unterminated), 0u);
    // Japanese, '-', 'A', half-width katakana; then a wave dash and a circled digit of the vendor row.
    const char euc[] = "\xC6\xFC\xCB\xDC\xB8\xEC-A\x8E\xB1";
    char out[32];
    ASSERT_EQ(QVCEucToWincode(euc, out, sizeof out, 1), 9);
    EXPECT_STREQ(out, "\x93\xFA\x96\x7B\x8C\xEA-A\xB1");
    EXPECT_TRUE(QVCEucToWincode("\xA1\xC1\xAD\xA1", out, sizeof out, 1) == 4 && std::string(out) == "\x81\x60\x87\x40");
    // A too small target or invalid input is refused, nothing written past the room.
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(QVCEucToWincode(euc, out, 6, 1), -1);  // needs 10 with the NUL
    EXPECT_TRUE(out[0] == '\0' && std::string(out + 6, 4) == "ZZZZ");
    EXPECT_EQ(std::pair(QVCEucToWincode("\xC6", out, sizeof out, 1), QVCEucToWincode("a\xFF\xFF", out, sizeof out, 1)),
              std::pair(-1, -1));  // a cut character; not EUC-JP
    EXPECT_EQ(out[0], '\0');
}

class Config : public WsTemp {
protected:
    void SetUp() override {
        WsTemp::SetUp();
        std::filesystem::create_directories(path("p/DEMO/SYSTEM"));
        sys = path("p/DEMO/SYSTEM/sysconfig.json");
    }
    // The station name of the project's configuration, or the error.
    std::string load(const std::string& text = "") {
        if (!text.empty()) write(sys, text);
        ws::Project p;
        std::string err;
        return !ws::load_project("DEMO", false, p, err) ? err : p.stations.empty() ? "" : p.stations[0].name;
    }
    std::string sys;
};

TEST_F(Config, StationsAndTheirErrors) {
    const std::string file = path("workstation.json");
    ws::Workstation w;
    std::string err;
    for (const auto& [text, want] : {std::pair<const char*, std::string>{nullptr, "cannot read " + file},
                                     {"{ nope", file + ": malformed JSON"},
                                     {R"({"vrecTest": "yes"})", file + ": \"vrecTest\" has the wrong type"}}) {
        if (text) write(file, text);
        EXPECT_FALSE(ws::load_workstation(w, err));
        EXPECT_EQ(want.ends_with("JSON") ? err.substr(0, want.size()) : err, want);   // the parser's words follow
    }
    write(file, R"({"projectsDir": "p"})");
    write(sys, R"({"stations": [{"name": "FCS0101", "number": 1, "apcs": true,
                    "areas": [{"number": 1, "name": "AREA01"}], "ioBusTypes": [1, 2]}]})");
    ws::Project p;
    ASSERT_TRUE(ws::load_project("DEMO", false, p, err)) << err;
    ASSERT_NE(p.find("FCS0101"), nullptr);
    EXPECT_TRUE(p.find("FCS0101")->apcs && p.find("FCS0101")->areas.at(0).name == "AREA01" && !p.find("FCS0102"));
    const std::string st = R"({"stations": [{"name": "FCS0101", )", sta = R"(: station FCS0101: )";
    auto area = [&](const char* n) { return st + R"("number": 1, "areas": [{"number": )" + n + R"(, "name": "A"}]}]})"; };
    const std::pair<std::string, std::string> cases[] = {
        {st + R"("number": 0}]})", sta + "number must be 1 to 255"},
        {st + R"("number": 4294967297}]})", ": \"number\" has the wrong type"},  // not 1
        {st + R"("number": 1.5}]})", ": \"number\" has the wrong type"},
        {st + R"("number": 1, "ioBusTypes": [1, -1]}]})", ": \"ioBusTypes\" has the wrong type"},
        {st + R"("number": 1, "areas": [3]}]})", sta + "an area entry is not an object"},
        {R"({"stations": [{"number": 3}]})", ": missing \"name\""},
        {area("-1"), sta + "area number -1 must be 0 to 255"},
        {area("256"), sta + "area number 256 must be 0 to 255"},
        {area("0"), "FCS0101"},
        {area("255"), "FCS0101"},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(load(text), want.starts_with("FCS") ? want : sys + want) << text;
    // Control characters in a name are refused; blanks and double-byte text stay allowed.
    for (const char* bad : {"FCS\n0101", "FCS0101\r", "A\tB", "A\x1f", "A\x7f"}) {
        EXPECT_FALSE(ws::valid_name(bad)) << bad;
        EXPECT_NE(load(R"({"stations": [{"name": )" + nlohmann::json(bad).dump() + R"(, "number": 1}]})"), bad);
    }
    EXPECT_TRUE(ws::valid_name("FCS0101 \xb1\xb2"));
    EXPECT_FALSE(ws::load_project("DEMO", true, p, err));  // no equalization project
    EXPECT_EQ(err, "cannot read " + path("p/DEMO/EQLZ/SYSTEM/sysconfig.json"));
    EXPECT_FALSE(ws::load_project("../DEMO", false, p, err));
}

// A configuration read before is handed out again only while the file is unchanged: a change
// of the same size within the same time stamp, or with its time stamp set back, is seen.
TEST_F(Config, ReadAgainOnlyWhileUnchangedEvenWithinOneTimeStamp) {
    write(path("workstation.json"), R"({"projectsDir": "p"})");
    const timespec old[2] = {{1700000000, 0}, {1700000000, 0}};
    for (bool settled : {false, true}) {
        SCOPED_TRACE(settled ? "an old time stamp" : "a recent time stamp");
        write(sys, R"({"stations": [{"name": "FCS0101", "number": 1}]})");
        if (settled) ::utimensat(AT_FDCWD, sys.c_str(), old, 0);
        EXPECT_EQ(load(), "FCS0101");
        EXPECT_EQ(load(), "FCS0101");
        struct stat before {};
        ::stat(sys.c_str(), &before);
        write(sys, R"({"stations": [{"name": "FCS0102", "number": 1}]})");
        const timespec same[2] = {before.st_atim, before.st_mtim};
        ::utimensat(AT_FDCWD, sys.c_str(), same, 0);
        EXPECT_EQ(load(), "FCS0102");
    }
}

// A FIFO in place of a file is refused at once; a thread opens it from the other side after a
// grace period, so that an open that blocks on it ends and the test fails on time.
TEST_F(Config, NonRegularFilesAreRefusedAtOnce) {
    const std::string db = path("stndb.sfdata");
    write(path("workstation.json"), R"({"projectsDir": "p"})");
    ::signal(SIGPIPE, SIG_IGN);
    auto refused_open = [](const std::string& p, DWORD access, DWORD flags) {
        HANDLE h = CreateFileA(p.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
        return h == INVALID_HANDLE_VALUE || (CloseHandle(h), false);
    };
    const std::vector<std::pair<std::string, std::function<bool()>>> cases = {
        {db, [&] { return refused_open(db, GENERIC_READ, 0); }},
        {db, [&] { return refused_open(db, GENERIC_WRITE, PORT_FLAG_REPLACE_ON_CLOSE); }},
        {db, [&] { return !CopyFileA(db.c_str(), path("copy").c_str(), false); }},
        {sys, [&] { return load() == "cannot read " + sys + ": not a regular file"; }},  // workstation.json: the same reader
    };
    for (const auto& [fifo, refused] : cases) {
        SCOPED_TRACE(fifo);
        std::filesystem::remove(fifo);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
        const auto start = Clock::now();
        const std::jthread unblock([&, f = fifo](std::stop_token stop) {
            while (!stop.stop_requested() && Clock::now() - start < std::chrono::milliseconds(1500))
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            while (!stop.stop_requested()) {
                for (int flags : {O_WRONLY, O_RDONLY})
                    if (int fd = ::open(f.c_str(), flags | O_NONBLOCK); fd >= 0) ::close(fd);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        EXPECT_TRUE(refused());
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    }
}
