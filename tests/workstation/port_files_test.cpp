// File handles: share-mode exclusion across processes, replace-on-close keeps the old file after
// any failure, read-only targets, copy and move, full path names, code-page characters.
#include <dirent.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "port/port_host.h"
#include "common_fixture.h"

namespace {

HANDLE open_excl(const std::string& p) {
    return CreateFileA(p.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}
HANDLE open_read(const std::string& p) {
    return CreateFileA(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}
HANDLE open_replace(const std::string& p, DWORD access = GENERIC_WRITE) {
    return CreateFileA(p.c_str(), access, 0, nullptr, OPEN_EXISTING, PORT_FLAG_REPLACE_ON_CLOSE, nullptr);
}

// 0 = opened, 1 = refused with EBUSY, 2 = something else; tried in a child process.
int child_try_open(const std::string& p, bool exclusive) {
    pid_t pid = ::fork();
    if (pid == 0) {
        HANDLE h = exclusive ? open_excl(p) : open_read(p);
        ::_exit(h != INVALID_HANDLE_VALUE ? (CloseHandle(h) ? 0 : 2) : GetLastError() == EBUSY ? 1 : 2);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

std::size_t count_entries(const std::string& dir) {
    std::size_t n = 0;
    DIR* d = ::opendir(dir.c_str());
    while (dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) ++n;
    ::closedir(d);
    return n;
}

}  // namespace

using PortFiles = WsTemp;

TEST_F(PortFiles, ShareModesExcludeOtherProcessesUntilClosed) {
    const std::string f = path("db.sfdata");
    write(f, "image");
    HANDLE r1 = open_read(f), r2 = open_read(f);
    ASSERT_NE(r2, INVALID_HANDLE_VALUE);
    EXPECT_EQ(child_try_open(f, false), 0);   // readers coexist
    EXPECT_EQ(child_try_open(f, true), 1);    // but exclude a writer
    CloseHandle(r1);
    CloseHandle(r2);
    HANDLE h = open_excl(f);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(child_try_open(f, false), 1);
    EXPECT_EQ(open_read(f), INVALID_HANDLE_VALUE);   // the same process too: each open is its own description
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBUSY));
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(child_try_open(f, true), 0);
}

TEST_F(PortFiles, LockIsReleasedWhenTheHoldingProcessEnds) {
    const std::string f = path("db.sfdata");
    write(f, "image");
    int ready[2], quit[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(quit), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        HANDLE h = open_excl(f);
        char c = h != INVALID_HANDLE_VALUE ? 'y' : 'n';
        (void)!::write(ready[1], &c, 1);
        (void)!::read(quit[0], &c, 1);  // held until the parent says so; the handle is never closed
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_EQ(open_read(f), INVALID_HANDLE_VALUE);
    (void)!::write(quit[1], "q", 1);
    ::waitpid(pid, nullptr, 0);
    HANDLE h = open_excl(f);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    for (int fd : {ready[0], ready[1], quit[0], quit[1]}) ::close(fd);
}

// A short write, a failed write, a failed close: the old file stays, no temporary is left.
TEST_F(PortFiles, ReplaceOnCloseKeepsTheOldFileAfterAnyFailure) {
    const std::string f = path("stndb.sfdata");
    const std::vector<std::pair<const char*, std::function<void(HANDLE)>>> faults = {
        {"short write", [](HANDLE h) {
             failpoint::arm("WriteFile.short", 3);
             DWORD done = 0;
             EXPECT_TRUE(WriteFile(h, "NEW-CONTENT", 11, &done, nullptr));
             EXPECT_EQ(done, 3u);
         }},
        {"failed write", [](HANDLE h) {
             DWORD done = 0;
             ASSERT_TRUE(WriteFile(h, "NEW", 3, &done, nullptr));
             failpoint::arm("WriteFile", ENOSPC);
             EXPECT_FALSE(WriteFile(h, "-CONTENT", 8, &done, nullptr));
             failpoint::reset();
         }},
        {"failed close", [](HANDLE h) {
             char buf[16] = {};
             DWORD done = 0;
             ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &done, nullptr));   // reads the copy
             EXPECT_EQ(std::string(buf, done), "OLD-CONTENT");
             ASSERT_TRUE(WriteFile(h, "+", 1, &done, nullptr));
             failpoint::arm("CloseHandle", EIO);
         }},
    };
    for (const auto& [what, fault] : faults) {
        SCOPED_TRACE(what);
        write(f, "OLD-CONTENT");
        HANDLE h = open_replace(f, GENERIC_READ | GENERIC_WRITE);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        fault(h);
        EXPECT_FALSE(CloseHandle(h));
        failpoint::reset();
        EXPECT_EQ(read(f), "OLD-CONTENT");
        EXPECT_EQ(count_entries(dir), 1u);
    }
}

TEST_F(PortFiles, ReplaceOnCloseWritesInPlaceOverACopyAndKeepsPermissions) {
    const std::string f = path("stndb.sfdata");
    write(f, "OLD-CONTENT");
    ::chmod(f.c_str(), 0640);
    HANDLE h = open_replace(f);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(child_try_open(f, false), 1);   // excluded while the replacement is pending
    ASSERT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "new", 3, &done, nullptr));
    EXPECT_EQ(read(f), "OLD-CONTENT");  // nothing visible before the close
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(read(f), "OLD-newTENT");
    EXPECT_EQ(mode_of(f), 0640u);
    EXPECT_EQ(count_entries(dir), 1u);
}

TEST_F(PortFiles, AbandonedReplaceKeepsTheFileAndWholeReplaceStartsEmpty) {
    const std::string f = path("edit.edf");
    write(f, "0123456789");
    HANDLE h = open_replace(f);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "xx", 2, &done, nullptr));
    ASSERT_TRUE(PortAbandonFile(h));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(read(f), "0123456789");

    h = CreateFileA(f.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, PORT_FLAG_REPLACE_WHOLE, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[16];
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &done, nullptr));
    EXPECT_EQ(done, 0u);  // nothing of the old content was copied
    ASSERT_TRUE(WriteFile(h, "ab", 2, &done, nullptr));
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(read(f), "ab");
    EXPECT_EQ(count_entries(dir), 1u);

    h = open_read(f);  // only replace-on-close handles can be abandoned
    EXPECT_FALSE(PortAbandonFile(h));
    CloseHandle(h);
}

TEST_F(PortFiles, ReadOnlyTargetFailsAtTheOpenWithEACCES) {
    const std::string f = path("ro.sfdata");
    write(f, "keep");
    ::chmod(f.c_str(), 0444);
    EXPECT_EQ(open_replace(f), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EACCES));
    EXPECT_EQ(open_excl(f), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EACCES));
    EXPECT_EQ(count_entries(dir), 1u);
    HANDLE h = open_read(f);  // reading stays possible
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    // A folder without write bits takes no temporary, for root too: its files are not replaced.
    ::chmod(f.c_str(), 0644);
    ::chmod(dir.c_str(), 0555);
    EXPECT_EQ(open_replace(f), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EACCES));
    ::chmod(dir.c_str(), 0755);
    EXPECT_EQ(read(f), "keep");
    EXPECT_EQ(count_entries(dir), 1u);
}

TEST_F(PortFiles, FailedCloseStillReleasesTheHandleAndItsLock) {
    const std::string f = path("a.bin");
    write(f, "12345");
    HANDLE h = open_excl(f);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    failpoint::arm("ReadFile", 6);
    char buf[4];
    DWORD done = 7;
    EXPECT_FALSE(ReadFile(h, buf, 4, &done, nullptr));
    EXPECT_EQ(done, 0u);
    failpoint::arm("CloseHandle", 4);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), 4u);
    failpoint::reset();
    EXPECT_FALSE(CloseHandle(h));  // already released: a stale handle, not a crash
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
    HANDLE again = open_excl(f);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST_F(PortFiles, CreateCopyAndMoveRefuseToOverwriteWhereAsked) {
    const std::string a = path("a.txt"), b = path("b.txt");
    EXPECT_EQ(open_excl(a), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
    write(a, "source");
    EXPECT_EQ(CreateFileA(a.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EEXIST));
    ::chmod(a.c_str(), 0600);
    ASSERT_TRUE(CopyFileA(a.c_str(), b.c_str(), false));
    EXPECT_EQ(read(b), "source");
    EXPECT_EQ(mode_of(b), 0600u);
    EXPECT_FALSE(CopyFileA(a.c_str(), b.c_str(), true));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EEXIST));
    write(a, "second");
    HANDLE h = open_read(b);
    EXPECT_FALSE(CopyFileA(a.c_str(), b.c_str(), false));   // a held target is not copied over
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBUSY));
    CloseHandle(h);
    EXPECT_FALSE(MoveFileA(a.c_str(), b.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EEXIST));
    ASSERT_TRUE(DeleteFileA(b.c_str()));
    ASSERT_TRUE(MoveFileA(a.c_str(), b.c_str()));
    EXPECT_EQ(read(b), "second");
    EXPECT_EQ(count_entries(dir), 1u);
}

TEST(PortText, FullPathNameAndDoubleByteCharacters) {
    char buf[64];
    char* part = nullptr;
    ASSERT_EQ(GetFullPathNameA("/a/./b//../c.txt", sizeof buf, buf, &part), 8u);
    EXPECT_STREQ(buf, "/a/c.txt");
    EXPECT_STREQ(part, "c.txt");
    std::memcpy(buf, "untouched", 10);
    EXPECT_EQ(GetFullPathNameA("/a/c.txt", 8, buf, nullptr), 9u);  // the size needed, with the NUL
    EXPECT_STREQ(buf, "untouched");

    const char s[] = "a\x81\x5C" "b\x9F";  // one byte, a lead byte with 0x5C as second byte, one byte, a lone lead
    EXPECT_EQ(_mbclen(reinterpret_cast<const unsigned char*>(s + 1)), 2u);
    EXPECT_EQ(CharNextA(s + 1), s + 3);
    EXPECT_EQ(CharNextA(s + 4), s + 5) << "a lead byte before the terminator does not skip it";
    EXPECT_EQ(CharNextA(s + 5), s + 5);
}
