// The port layer: share-mode exclusion across processes, replace-on-close keeps the old file after
// any failure and removes stale temporaries of dead processes, copy and move, code-page
// characters (processes and directory search: the tool backup test of the library).
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "common_fixture.h"
#include "libqvecommon.h"
#include "libqvecommon/qvecommon_host.h"
#include "port/port_host.h"

namespace {

HANDLE open_file(const std::string& p, DWORD access, DWORD share, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileA(p.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}
HANDLE open_excl(const std::string& p) { return open_file(p, GENERIC_WRITE, 0); }
HANDLE open_read(const std::string& p) { return open_file(p, GENERIC_READ, FILE_SHARE_READ); }
HANDLE open_replace(const std::string& p, DWORD access = GENERIC_WRITE, DWORD flag = PORT_FLAG_REPLACE_ON_CLOSE) {
    return open_file(p, access, 0, flag);
}
// The error code of a failed call (false or an invalid handle); 0 when it succeeded.
int fails(BOOL ok) { return ok ? 0 : static_cast<int>(GetLastError()); }
int fails(HANDLE h) { return h != INVALID_HANDLE_VALUE ? (CloseHandle(h), 0) : static_cast<int>(GetLastError()); }
// The same for an open tried in a child process; 100 when the child did not end normally.
int child_fails(const std::function<HANDLE()>& open) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(fails(open()));
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

class PortFiles : public WsTemp {
protected:
    std::size_t entries() const { return std::distance(std::filesystem::directory_iterator(dir), {}); }
};

TEST_F(PortFiles, ShareModesExcludeOtherProcessesUntilClosed) {
    const std::string f = path("db.sfdata");
    write(f, "image");
    auto reader = [&] { return open_read(f); };
    auto writer = [&] { return open_excl(f); };
    HANDLE r1 = open_read(f), r2 = open_read(f);
    ASSERT_NE(r2, INVALID_HANDLE_VALUE);
    EXPECT_EQ(child_fails(reader), 0);     // readers coexist
    EXPECT_EQ(child_fails(writer), EBUSY);  // but exclude a writer
    CloseHandle(r1), CloseHandle(r2);
    HANDLE h = open_excl(f);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(child_fails(reader), EBUSY);
    EXPECT_EQ(fails(open_read(f)), EBUSY);  // the same process too: each open is its own description
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(child_fails(writer), 0);
    // Two writers that both share reading (but not writing) never hold the file at once.
    ASSERT_NE(h = open_file(f, GENERIC_WRITE, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(fails(open_file(f, GENERIC_WRITE, FILE_SHARE_READ)), EBUSY);
    EXPECT_EQ(child_fails([&] { return open_file(f, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ); }), EBUSY);
    ASSERT_TRUE(CloseHandle(h));
}

// A short write, a failed write, a failed close: the old file stays, no temporary is left.
TEST_F(PortFiles, ReplaceOnCloseKeepsTheOldFileAfterAnyFailure) {
    const std::string f = path("stndb.sfdata");
    DWORD done = 0;
    const std::vector<std::pair<const char*, std::function<void(HANDLE)>>> faults = {
        {"short write", [&](HANDLE h) {
             failpoint::arm("WriteFile.short", 3);
             EXPECT_TRUE(WriteFile(h, "NEW-CONTENT", 11, &done, nullptr));
             EXPECT_EQ(done, 3u);
         }},
        {"failed write", [&](HANDLE h) {
             ASSERT_TRUE(WriteFile(h, "NEW", 3, &done, nullptr));
             failpoint::arm("WriteFile", ENOSPC);
             EXPECT_FALSE(WriteFile(h, "-CONTENT", 8, &done, nullptr));
             failpoint::reset();
         }},
        {"failed close", [&](HANDLE h) {
             char buf[16] = {};
             ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &done, nullptr));  // reads the copy
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
        EXPECT_EQ(entries(), 1u);
    }
}

TEST_F(PortFiles, ReplaceInPlaceOverACopyOrWholeAbandonAndStaleTemporaries) {
    // The first replace in a folder removes the stale temporaries of dead processes, and only those.
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const std::string d = std::to_string(dead), me = std::to_string(::getpid());
    const std::pair<std::string, bool> temps[] = {
        {".stndb.sfdata." + d + ".0.tmp", false},    // the file's, of a dead process: removed
        {".stndb.sfdata." + d + ".17.tmp", false},
        {".stndb.sfdata." + me + ".999.tmp", true},  // a live process's
        {".g.dat." + d + ".0.tmp", false},           // another file's of the folder, of a dead process
        {".stndb.sfdata." + d + ".x.tmp", true},     // not a temporary's name
        {".stndb.sfdata.1.2.3.tmp", true},           // pid 2 lives
    };
    for (const auto& t : temps) write(path(t.first), "x");
    const std::string f = path("stndb.sfdata");
    write(f, "OLD-CONTENT");
    ::chmod(f.c_str(), 0640);
    HANDLE h = open_replace(f);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(child_fails([&] { return open_read(f); }), EBUSY);  // excluded while the replacement is pending
    ASSERT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "new", 3, &done, nullptr));
    EXPECT_EQ(read(f), "OLD-CONTENT");  // nothing visible before the close
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(read(f), "OLD-newTENT");
    EXPECT_EQ(mode_of(f), 0640u);
    for (const auto& [name, kept] : temps) EXPECT_EQ(std::filesystem::exists(path(name)), kept) << name;
    ASSERT_NE(h = open_replace(f), INVALID_HANDLE_VALUE);  // abandoned: the file stays as it was
    ASSERT_TRUE(WriteFile(h, "xx", 2, &done, nullptr) && PortAbandonFile(h));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(read(f), "OLD-newTENT");
    ASSERT_NE(h = open_replace(f, GENERIC_READ | GENERIC_WRITE, PORT_FLAG_REPLACE_WHOLE), INVALID_HANDLE_VALUE);
    char buf[16];
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &done, nullptr));
    EXPECT_EQ(done, 0u);  // nothing of the old content was copied
    ASSERT_TRUE(WriteFile(h, "ab", 2, &done, nullptr));
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(read(f), "ab");
    EXPECT_EQ(entries(), 4u);  // no temporary of this process left
    h = open_read(f);  // only replace-on-close handles can be abandoned
    EXPECT_FALSE(PortAbandonFile(h));
    CloseHandle(h);
    // A folder's first listing removes them too, and does not hand them out.
    const std::string sub = path("sub");
    std::filesystem::create_directory(sub);
    for (const std::string& name : {".a.wkf." + d + ".0.tmp", ".a.wkf." + me + ".1.tmp", std::string("a.wkf")})
        write(sub + "/" + name, "x");
    auto list = [&](const std::string& pattern) {
        WIN32_FIND_DATAA found;
        std::vector<std::string> names;
        HANDLE find = FindFirstFileA((sub + "/" + pattern).c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) return names;
        do names.emplace_back(found.cFileName);
        while (FindNextFileA(find, &found));
        FindClose(find);
        return names;
    };
    EXPECT_EQ(list("*"), (std::vector<std::string>{".a.wkf." + me + ".1.tmp", "a.wkf"}));
    // A pattern reads as fnmatch reads it; "*" and plain text is the name's end.
    for (const char* name : {".wkf", "b.wkf~", "wkf"}) write(sub + "/" + name, "x");
    EXPECT_EQ(list("*.wkf"), (std::vector<std::string>{".wkf", "a.wkf"}));
    EXPECT_EQ(list("*wkf"), (std::vector<std::string>{".wkf", "a.wkf", "wkf"}));
    EXPECT_EQ(list("*.[w]kf"), (std::vector<std::string>{".wkf", "a.wkf"}));
    EXPECT_EQ(list("a*"), (std::vector<std::string>{"a.wkf"}));
    // A relative path is taken from the working folder, by the temporary and the rename too.
    write(sub + "/r.dat", "old");
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    h = open_replace("sub/r.dat");
    const bool replaced = h != INVALID_HANDLE_VALUE && WriteFile(h, "new", 3, &done, nullptr) && CloseHandle(h);
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(replaced);
    EXPECT_EQ(read(sub + "/r.dat"), "new");
}

// A read, a close or a commit that fails still releases the handle and its lock; a failed close
// leaves the old file, and a failed folder sync after the rename, the one failure that leaves the
// new file, has a result of its own.
TEST_F(PortFiles, FailedReadCloseOrCommitReleasesTheHandleAndKeepsTheOldFile) {
    const std::string f = path("f.dat");
    write(f, "12345");
    HANDLE h = open_excl(f);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    failpoint::arm("ReadFile", 6);
    char buf[4];
    DWORD done = 7;
    EXPECT_FALSE(ReadFile(h, buf, 4, &done, nullptr) || done != 0u);
    failpoint::arm("CloseHandle", 4);
    EXPECT_EQ(fails(CloseHandle(h)), 4);
    failpoint::reset();
    EXPECT_EQ(fails(CloseHandle(h)), EBADF);  // already released: a stale handle, not a crash
    EXPECT_EQ(fails(open_excl(f)), 0);
    const std::tuple<const char*, std::uint32_t, const char*> cases[] = {
        {"QVEEngCloseFile", 9, "old"}, {"CloseHandle", 9, "old"}, {"CloseHandle.syncdir", PORT_ERROR_NOT_CONFIRMED, "new"}};
    for (const auto& [fp, result, content] : cases) {
        SCOPED_TRACE(fp);
        write(f, "old");
        failpoint::reset();
        failpoint::arm(fp, 9);
        ASSERT_EQ(QVEEngCreateFile(f.c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, PORT_FLAG_REPLACE_WHOLE, nullptr, &h, 1), 0u);
        ASSERT_TRUE(WriteFile(h, "new", 3, &done, nullptr));
        EXPECT_EQ(QVEEngCloseFile(h, 1), result);
        failpoint::reset();
        EXPECT_NE(QVEEngCloseFile(h, 1), 0u);  // already closed (the next open, exclusive, proves the lock gone)
        EXPECT_EQ(read(f), content);
        EXPECT_EQ(entries(), 1u) << "a temporary was left";
    }
}

TEST_F(PortFiles, CreateCopyAndMoveRefuseToOverwriteWhereAsked) {
    const std::string a = path("a.txt"), b = path("b.txt");
    EXPECT_EQ(fails(open_excl(a)), ENOENT);
    write(a, "source");
    EXPECT_EQ(fails(CreateFileA(a.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)), EEXIST);
    ::chmod(a.c_str(), 0600);
    ASSERT_TRUE(CopyFileA(a.c_str(), b.c_str(), false));
    EXPECT_EQ(std::pair(read(b), mode_of(b)), std::pair(std::string("source"), mode_t{0600}));
    EXPECT_EQ(fails(CopyFileA(a.c_str(), b.c_str(), true)), EEXIST);
    write(a, "second");
    HANDLE h = open_read(b);
    EXPECT_EQ(fails(CopyFileA(a.c_str(), b.c_str(), false)), EBUSY);  // a held target is not copied over
    CloseHandle(h);
    EXPECT_EQ(fails(MoveFileA(a.c_str(), b.c_str())), EEXIST);
    ASSERT_TRUE(DeleteFileA(b.c_str()) && MoveFileA(a.c_str(), b.c_str()));
    EXPECT_EQ(read(b), "second");
    EXPECT_EQ(entries(), 1u);
}

// Double-byte characters as the TP writer steps through them.
TEST(PortText, DoubleByteCharacters) {
    const char s[] = "a\x81\x5C" "b\x9F";  // one byte, a lead byte with 0x5C as second byte, one byte, a lone lead
    EXPECT_EQ(_mbclen(reinterpret_cast<const unsigned char*>(s + 1)), 2u);
    EXPECT_EQ(CharNextA(s + 1), s + 3);
    EXPECT_EQ(CharNextA(s + 4), s + 5) << "a lead byte before the terminator does not skip it";
    EXPECT_EQ(CharNextA(s + 5), s + 5);
}

}  // namespace

// Making pages present keeps the bytes a buffer holds; a big buffer is usable to its last byte,
// from the memory service too, and is given back there.
TEST(PortMemory, PrefaultKeepsBytesAndBigBuffersAreWholeAndReleased) {
    std::vector<char> held(300 * 1024, 'x');
    port::prefault(held.data() + 1, held.size() - 2);
    EXPECT_EQ(std::count(held.begin(), held.end(), 'x'), static_cast<std::ptrdiff_t>(held.size()));

    const std::size_t live = ws::live_allocations();
    for (std::size_t n : {std::size_t{100}, (std::size_t{2} << 20) - 1, (std::size_t{5} << 20) + 123}) {
        auto* p = static_cast<unsigned char*>(__QVEEngMalloc(n, "port_test", __LINE__));
        ASSERT_NE(p, nullptr) << n;
        p[0] = 1, p[n - 1] = 2;
        EXPECT_EQ((std::pair{p[0], p[n - 1]}), std::pair(std::uint8_t{1}, std::uint8_t{2}));
        EXPECT_EQ(ws::live_allocations(), live + 1);
        __QVEEngFree(p, "port_test", __LINE__);
        EXPECT_EQ(ws::live_allocations(), live);
    }
}
