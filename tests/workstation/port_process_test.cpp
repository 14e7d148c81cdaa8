// Directory search, processes, waits and sleeps, string resources.
#include <sys/stat.h>

#include <chrono>
#include <cerrno>

#include "port/port_host.h"
#include "common_fixture.h"

using PortSearch = WsTemp;
using Clock = std::chrono::steady_clock;

namespace {
long long ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}
}  // namespace

TEST_F(PortSearch, PatternMatchesSortedAndSkipsDotEntries) {
    for (auto n : {"b.xseg", "a.xseg", "c.txt", "a.xseg.bak", "xseg"}) write(path(n), "x");
    ::mkdir(path("d.xseg").c_str(), 0755);
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "/*.xseg").c_str(), &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::string> names{fd.cFileName};
    std::vector<DWORD> attrs{fd.dwFileAttributes};
    while (FindNextFileA(h, &fd)) {
        names.push_back(fd.cFileName);
        attrs.push_back(fd.dwFileAttributes);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
    EXPECT_TRUE(FindClose(h));
    EXPECT_EQ(names, (std::vector<std::string>{"a.xseg", "b.xseg", "d.xseg"}));
    EXPECT_EQ(attrs[2], FILE_ATTRIBUTE_DIRECTORY);

    h = FindFirstFileA((dir + "/*").c_str(), &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int n = 1;
    while (FindNextFileA(h, &fd)) {
        EXPECT_STRNE(fd.cFileName, ".");
        EXPECT_STRNE(fd.cFileName, "..");
        ++n;
    }
    FindClose(h);
    EXPECT_EQ(n, 6);
}

TEST_F(PortSearch, NoMatchAndMissingFolderGiveAnInvalidHandle) {
    write(path("a.txt"), "x");
    WIN32_FIND_DATAA fd;
    EXPECT_EQ(FindFirstFileA((dir + "/*.xseg").c_str(), &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
    EXPECT_EQ(FindFirstFileA((dir + "/none/*.xseg").c_str(), &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
}

using PortProcess = WsTemp;

TEST_F(PortProcess, ChildExitCodeAndStillActiveWhileRunning) {
    HANDLE p = nullptr;
    ASSERT_TRUE(CreateProcessV("/bin/sh", {"sh", "-c", "exit 3"}, &p));
    EXPECT_EQ(WaitForSingleObject(p, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(p, &code));
    EXPECT_EQ(code, 3u);
    EXPECT_TRUE(CloseHandle(p));

    ASSERT_TRUE(CreateProcessV("/bin/sleep", {"sleep", "5"}, &p));
    ASSERT_TRUE(GetExitCodeProcess(p, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    auto t = Clock::now();
    EXPECT_EQ(WaitForSingleObject(p, 60), WAIT_TIMEOUT);
    EXPECT_GE(ms_since(t), 55);
    EXPECT_LT(ms_since(t), 2000);
    CloseHandle(p);  // the process goes on; it is reaped when it ends
}

TEST_F(PortProcess, ChildRunsDetachedWithoutTheCallersDescriptors) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);  // not close-on-exec
    const std::string script = "for f in 0 1 2; do [ \"$(readlink /proc/$$/fd/$f)\" = /dev/null ] || exit 1; done; " +
                               std::string("[ -e /proc/$$/fd/") + std::to_string(fds[0]) + " ] && exit 2; exit 0";
    HANDLE p = nullptr;
    ASSERT_TRUE(CreateProcessV("/bin/sh", {"sh", "-c", script}, &p));
    EXPECT_EQ(WaitForSingleObject(p, INFINITE), WAIT_OBJECT_0);
    DWORD code = 9;
    ASSERT_TRUE(GetExitCodeProcess(p, &code));
    EXPECT_EQ(code, 0u);
    CloseHandle(p);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(PortProcess, StartFailuresReportTheError) {
    HANDLE p = nullptr;
    EXPECT_FALSE(CreateProcessV((dir + "/no-such-tool").c_str(), {"no-such-tool"}, &p));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
}

TEST_F(PortProcess, ArmedWaitsAndSleepsReturnAtOnceAndAreRecorded) {
    failpoint::arm("Sleep", 0, 1, true);
    failpoint::arm("WaitForMultipleObjects", WAIT_TIMEOUT);
    failpoint::arm("WaitForSingleObject", WAIT_TIMEOUT);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    HANDLE h = port::wrap_fd(fds[0], true);
    auto t = Clock::now();
    Sleep(1000);
    Sleep(30000);
    EXPECT_EQ(WaitForMultipleObjects(1, &h, false, 30000), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(h, 45000), WAIT_TIMEOUT);
    EXPECT_LT(ms_since(t), 500);
    std::vector<std::pair<std::string, unsigned>> got;
    for (const auto& w : failpoint::waits()) got.emplace_back(w.name, w.ms);
    EXPECT_EQ(got, (std::vector<std::pair<std::string, unsigned>>{
                       {"Sleep", 1000}, {"Sleep", 30000}, {"WaitForMultipleObjects", 30000},
                       {"WaitForSingleObject", 45000}}));
    CloseHandle(h);
    ::close(fds[1]);
}

TEST_F(PortProcess, WaitForMultipleObjectsNamesTheReadableDescriptor) {
    int a[2], b[2];
    ASSERT_EQ(::pipe(a), 0);
    ASSERT_EQ(::pipe(b), 0);
    HANDLE hs[2] = {port::wrap_fd(a[0], true), port::wrap_fd(b[0], true)};
    EXPECT_EQ(port::fd_of(hs[1]), b[0]);
    auto t = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, hs, false, 30), WAIT_TIMEOUT);
    EXPECT_GE(ms_since(t), 25);
    ASSERT_EQ(::write(b[1], "x", 1), 1);
    EXPECT_EQ(WaitForMultipleObjects(2, hs, false, 1000), WAIT_OBJECT_0 + 1);
    HANDLE bad = reinterpret_cast<HANDLE>(hs);  // not a handle of the port
    EXPECT_EQ(WaitForMultipleObjects(1, &bad, false, 10), WAIT_FAILED);
    EXPECT_TRUE(CloseHandle(hs[0]));
    EXPECT_TRUE(CloseHandle(hs[1]));
    EXPECT_EQ(::close(a[0]), -1);  // owned descriptors were closed with their handles
    ::close(a[1]);
    ::close(b[1]);
}

TEST(PortResources, MissingStringLeavesTheTarget) {
    port::set_string_table({{4214, "Tool backup start"}});
    std::string s = "kept";
    EXPECT_FALSE(LoadStringA(4215, s));
    EXPECT_EQ(s, "kept");
    ASSERT_TRUE(LoadStringA(4214, s));
    EXPECT_EQ(s, "Tool backup start");
    port::set_string_table({});
}
