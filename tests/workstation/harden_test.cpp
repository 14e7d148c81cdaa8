// Hostile files and names: FIFOs, control characters, out-of-range areas, stale temporaries of
// dead processes, and the close that commits a replaced file.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "config/ws_config.h"
#include "eda_fixture.h"
#include "libqvecommon.h"
#include "port.h"

namespace {

using edatest::EdaHome;
using Clock = std::chrono::steady_clock;
using Harden = EdaHome;

// Keeps opening the FIFO from the other side (after a grace period), so that an open or read
// that blocks on it ends and the test fails on time instead of hanging.
std::jthread unblocker(const std::string& fifo) {
    return std::jthread([fifo](std::stop_token stop) {
        for (const auto start = Clock::now(); !stop.stop_requested();) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (Clock::now() - start < std::chrono::milliseconds(1500)) continue;
            for (int flags : {O_WRONLY, O_RDONLY})
                if (int fd = ::open(fifo.c_str(), flags | O_NONBLOCK); fd >= 0) ::close(fd);
        }
    });
}

TEST_F(Harden, NonRegularFilesAreRefusedAtOnce) {
    ::signal(SIGPIPE, SIG_IGN);
    const std::string ws = home_ + "/workstation.json", sys = top() + "/SYSTEM/sysconfig.json",
                      db = home_ + "/stndb.sfdata";
    auto refused_open = [](const std::string& p, DWORD access, DWORD flags) {
        HANDLE h = CreateFileA(p.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        return h == INVALID_HANDLE_VALUE;
    };
    std::string error;
    const std::vector<std::pair<std::string, std::function<bool()>>> cases = {
        {db, [&] { return refused_open(db, GENERIC_READ, 0); }},
        {db, [&] { return refused_open(db, GENERIC_READ | GENERIC_WRITE, 0); }},
        {db, [&] { return refused_open(db, GENERIC_WRITE, PORT_FLAG_REPLACE_ON_CLOSE); }},
        {db, [&] { return !CopyFileA(db.c_str(), (home_ + "/copy").c_str(), false); }},
        {sys, [&] {
             ws::Project p;
             return !ws::load_project("DEMO", false, p, error) && error == "cannot read " + sys + ": not a regular file";
         }},
        {ws, [&] {
             ws::Workstation w;
             return !ws::load_workstation(w, error) && error == "cannot read " + ws + ": not a regular file";
         }},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [fifo, refused] = cases[i];
        SCOPED_TRACE(fifo + " #" + std::to_string(i));
        std::filesystem::remove(fifo);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
        const std::jthread unblock = unblocker(fifo);
        const auto start = Clock::now();
        EXPECT_TRUE(refused()) << error;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    }
}

TEST_F(Harden, ControlCharactersAndOutOfRangeAreasAreRefusedByTheConfiguration) {
    const std::string sys = top() + "/SYSTEM/sysconfig.json";
    auto load = [&](const std::string& name, const std::string& area) {
        write("projects/DEMO/SYSTEM/sysconfig.json", R"({"stations": [{"name": )" + nlohmann::json(name).dump() +
              R"(, "number": 1, "areas": [{"number": )" + area + R"(, "name": "A"}]}]})");
        ws::Project p;
        std::string error;
        return ws::load_project("DEMO", false, p, error) ? std::string("loaded") : error;
    };
    for (const char* bad : {"FCS\n0101", "FCS0101\r", "A\tB", "A\x1f", "A\x7f"}) {
        EXPECT_FALSE(ws::valid_name(bad)) << bad;
        EXPECT_NE(load(bad, "1"), "loaded") << bad;
    }
    EXPECT_TRUE(ws::valid_name("FCS0101 \xb1\xb2"));  // blanks and double-byte text stay allowed
    for (int area : {-1, 256, 300, 0, 255})
        EXPECT_EQ(load("FCS0101", std::to_string(area)),
                  area == 0 || area == 255 ? "loaded"
                                           : sys + ": station FCS0101: area number " + std::to_string(area) +
                                                 " must be 0 to 255");
}

TEST_F(Harden, ReplaceRemovesStaleTemporariesOfDeadProcessesOnly) {
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ASSERT_GT(dead, 0);
    ::waitpid(dead, nullptr, 0);
    const std::string d = std::to_string(dead), me = std::to_string(::getpid());
    write("f.dat", "old");
    const std::vector<std::pair<std::string, bool>> temps = {
        {".f.dat." + d + ".0.tmp", false},    // the file's, of a dead process: removed
        {".f.dat." + d + ".17.tmp", false},
        {".f.dat." + me + ".999.tmp", true},  // a live process's
        {".g.dat." + d + ".0.tmp", false},    // another file's of the folder, of a dead process
        {".f.dat." + d + ".x.tmp", true},     // not a temporary's name
        {".f.dat.1.2.3.tmp", true},           // pid 2 lives
    };
    for (const auto& t : temps) write(t.first, "x");
    HANDLE h = CreateFileA((home_ + "/f.dat").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           PORT_FLAG_REPLACE_WHOLE, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "new", 3, &done, nullptr));
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(read("f.dat"), "new");
    for (const auto& [name, kept] : temps) EXPECT_EQ(std::filesystem::exists(home_ + "/" + name), kept) << name;
}

// A close that fails leaves the old file and still closes the handle; a failed folder sync after
// the rename is the one failure that leaves the new file, and it has a result of its own.
TEST_F(Harden, FailedCommitKeepsTheOldFileAndAnUnconfirmedOneSaysSo) {
    const std::string f = home_ + "/f.dat";
    const std::tuple<const char*, std::uint32_t, const char*> cases[] = {
        {"QVEEngCloseFile", 9, "old"}, {"CloseHandle", 9, "old"}, {"CloseHandle.syncdir", PORT_ERROR_NOT_CONFIRMED, "new"}};
    for (const auto& [fp, result, content] : cases) {
        SCOPED_TRACE(fp);
        write("f.dat", "old");
        failpoint::reset();
        failpoint::arm(fp, 9);
        HANDLE h = nullptr;
        ASSERT_EQ(QVEEngCreateFile(f.c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, PORT_FLAG_REPLACE_WHOLE, nullptr, &h, 1), 0u);
        DWORD done = 0;
        ASSERT_TRUE(WriteFile(h, "new", 3, &done, nullptr));
        EXPECT_EQ(QVEEngCloseFile(h, 1), result);
        failpoint::reset();
        EXPECT_NE(QVEEngCloseFile(h, 1), 0u);  // already closed (the next open, exclusive, proves the lock gone)
        EXPECT_EQ(read("f.dat"), content);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home_), {}), 3) << "a temporary was left";
    }
}

}  // namespace
