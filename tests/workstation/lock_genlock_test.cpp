// Generation lock: refused to a second holder in this process and in others (an executed program
// too), given back by unlock and by the holder's end (also by SIGKILL), safe against wrong handles,
// and neither following a link nor emptying its target.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <memory>

#include "eda_fixture.h"
#include "libqveeda/eda_status.h"
#include "libqverxeda.h"
#include "libqverxeda/gen_lock.h"

namespace {

using GenLockTest = edatest::EdaHome;

std::uint32_t lock(const char* station, void** h, char* info = nullptr, int size = 0) {
    return QVEEdaGenLockStation("DEMO", station, 1, info, size, h);
}
std::uint32_t unlock(const char* station, void* h) { return QVEEdaGenUnlockStation("DEMO", station, h); }
std::string pid_text(pid_t pid = ::getpid()) { return "pid " + std::to_string(pid); }

// A child that takes the lock, says so through a pipe and holds it, without an unlock, until it
// is killed or the write end given back in doneFd is closed; its pid, or -1 if it got no lock.
pid_t hold(const char* station, int& doneFd) {
    int ready[2], done[2];
    if (::pipe(ready) != 0 || ::pipe(done) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(done[1]);
        void* h = nullptr;
        char c = lock(station, &h) == 0 ? 'L' : 'R';
        (void)!::write(ready[1], &c, 1);
        (void)!::read(done[0], &c, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(done[0]);
    char c = 0;
    const bool got = ::read(ready[0], &c, 1) == 1 && c == 'L';
    ::close(ready[0]);
    doneFd = done[1];
    return got ? pid : -1;
}

TEST_F(GenLockTest, SecondLockInTheSameProcessIsRefusedUntilUnlock) {
    void *h1 = nullptr, *h2 = nullptr, *other = nullptr;
    char info[16];
    ASSERT_EQ(lock("FCS0101", &h1, info, sizeof info), 0u) << eda::last_error();
    ASSERT_NE(h1, nullptr);
    EXPECT_EQ(std::string(info), pid_text());
    EXPECT_TRUE(std::filesystem::exists(home_ + "/lock/DEMO/FCS0101.genlock"));
    std::memset(info, 0, sizeof info);
    EXPECT_EQ(lock("FCS0101", &h2, info, sizeof info), eda::kLocked);
    EXPECT_EQ(h2, nullptr);
    EXPECT_EQ(std::string(info), pid_text());  // the holder
    EXPECT_NE(eda::last_error().find("FCS0101.genlock"), std::string::npos);
    ASSERT_EQ(lock("FCS0102", &other), 0u);  // another station is independent
    EXPECT_EQ(unlock("FCS0102", other), 0u);
    // Wrong handles are refused and leave the lock held.
    int notAHandle = 0;
    EXPECT_EQ(unlock("FCS0101", nullptr), eda::kBadHandle);
    EXPECT_EQ(unlock("FCS0101", &notAHandle), eda::kBadHandle);
    EXPECT_EQ(unlock("FCS0102", h1), eda::kBadHandle);
    EXPECT_EQ(QVEEdaGenUnlockStation("OTHER", "FCS0101", h1), eda::kBadHandle);
    EXPECT_EQ(lock("FCS0101", &h2), eda::kLocked);
    EXPECT_EQ(unlock("FCS0101", h1), 0u);
    EXPECT_EQ(unlock("FCS0101", h1), eda::kBadHandle);  // given back already
    ASSERT_EQ(lock("FCS0101", &h2), 0u);
    EXPECT_EQ(unlock("FCS0101", h2), 0u);
}

// Held by a calling application (a drift check): a save is refused meanwhile, and the lock file
// is given back with the text and the modification time it had.
TEST_F(GenLockTest, HeldByTheCallerRefusesASaveAndLeavesTheFileAsFound) {
    void* h = nullptr;
    ASSERT_EQ(lock("FCS0101", &h), 0u);
    ASSERT_EQ(unlock("FCS0101", h), 0u);
    const std::string path = home_ + "/lock/DEMO/FCS0101.genlock";
    const timespec old[2] = {{1577836800, 0}, {1577836800, 123}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    struct stat before {}, after {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    {
        std::unique_ptr<eda::HeldGenLock> held, second;
        std::string error;
        ASSERT_EQ(eda::HeldGenLock::take("DEMO", "FCS0101", held, error), 0u) << error;
        char info[16] = {};
        EXPECT_EQ(lock("FCS0101", &h, info, sizeof info), eda::kLocked);
        EXPECT_EQ(std::string(info), pid_text());
        EXPECT_EQ(eda::HeldGenLock::take("DEMO", "FCS0101", second, error), eda::kLocked);
        EXPECT_NE(error.find("locked for generation by pid"), std::string::npos) << error;
    }
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_sec, 1577836800);
    EXPECT_EQ(after.st_mtim.tv_nsec, 123);
    ASSERT_EQ(lock("FCS0101", &h), 0u);
    EXPECT_EQ(unlock("FCS0101", h), 0u);
}

TEST_F(GenLockTest, LockOfAKilledOrEndedHolderGoesWithItsProcess) {
    int done = -1, st = 0;
    const pid_t killed = hold("FCS0101", done);
    ASSERT_GT(killed, 0);
    void* h = nullptr;
    char info[16] = {};
    EXPECT_EQ(lock("FCS0101", &h, info, sizeof info), eda::kLocked);
    EXPECT_EQ(std::string(info), pid_text(killed));
    ::kill(killed, SIGKILL);
    ::waitpid(killed, &st, 0);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
    ::close(done);
    ASSERT_EQ(lock("FCS0101", &h), 0u);
    ASSERT_EQ(unlock("FCS0101", h), 0u);

    const pid_t ended = hold("FCS0101", done);
    ASSERT_GT(ended, 0);
    EXPECT_EQ(lock("FCS0101", &h), eda::kLocked);
    ::close(done);
    ::waitpid(ended, nullptr, 0);
    ASSERT_EQ(lock("FCS0101", &h), 0u);
    EXPECT_EQ(unlock("FCS0101", h), 0u);
}

TEST_F(GenLockTest, InfoStaysInsideItsBufferAndBadNamesAreRefused) {
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    void* h = nullptr;
    ASSERT_EQ(lock("FCS0101", &h, buf, 4), 0u);
    EXPECT_EQ(std::strlen(buf), 3u);
    EXPECT_EQ(buf[4], '#');
    EXPECT_EQ(unlock("FCS0101", h), 0u);
    for (const char* bad : {"..", "a/b", "", "x\\y", "../../etc"}) {
        h = nullptr;
        EXPECT_EQ(QVEEdaGenLockStation("DEMO", bad, 1, nullptr, 0, &h), eda::kBadName) << bad;
        EXPECT_EQ(QVEEdaGenLockStation(bad, "FCS0101", 1, nullptr, 0, &h), eda::kBadName) << bad;
        EXPECT_EQ(h, nullptr);
    }
    // A name no configuration of the project has (here one of the equalization project's
    // does): a handle that unlocks, but no lock file for it.
    for (const char* station : {"FCS0999", "FCS0201"}) {
        ASSERT_EQ(lock(station, &h), 0u) << station;
        EXPECT_EQ(std::filesystem::exists(home_ + "/lock/DEMO/" + station + ".genlock"), station[6] == '1') << station;
        EXPECT_EQ(unlock(station, h), 0u) << station;
    }
    // A failed unlock gives the lock back all the same.
    ASSERT_EQ(lock("FCS0101", &h), 0u);
    failpoint::arm("QVEEdaGenUnlockStation", 32);
    EXPECT_EQ(unlock("FCS0101", h), 32u);
    EXPECT_EQ(unlock("FCS0101", h), eda::kBadHandle);
}

TEST_F(GenLockTest, NeitherFollowsALinkNorEmptiesItsTarget) {
    write("victim.txt", "precious\n");
    std::filesystem::create_directories(home_ + "/lock/DEMO");
    const std::string file = home_ + "/lock/DEMO/FCS0101.genlock";
    ASSERT_EQ(::symlink((home_ + "/victim.txt").c_str(), file.c_str()), 0);
    void *h = nullptr, *h2 = nullptr;
    char info[16] = {};
    EXPECT_EQ(lock("FCS0101", &h, info, sizeof info), eda::kIo);
    EXPECT_EQ(read("victim.txt"), "precious\n");
    // A longer text of an earlier holder: the pid replaces it whole, and a refused locker
    // (here the same process, on a description of its own) is told who holds the station.
    std::filesystem::remove(file);
    write("lock/DEMO/FCS0101.genlock", "4000000000\nand more\n");
    ASSERT_EQ(lock("FCS0101", &h, info, sizeof info), 0u);
    const std::string pid = std::to_string(::getpid());
    EXPECT_EQ(read("lock/DEMO/FCS0101.genlock"), pid + "\n");
    EXPECT_EQ(lock("FCS0101", &h2, info, sizeof info), eda::kLocked);
    EXPECT_EQ(eda::gen_lock_holder("DEMO", "FCS0101"), pid);
    EXPECT_EQ(unlock("FCS0101", h), 0u);
}

// The same across exec: a separately started program (this test binary, run for the role
// below) is refused while this process holds the lock, and gets it afterwards.
constexpr int kRoleDone = 42;  // the role ran and held; any other status is a failure

int exec_role(const std::string& home, const char* role) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("TUSAVE_GENLOCK_ROLE", role, 1);
        ::setenv("TUSAVE_HOME", home.c_str(), 1);
        ::execl("/proc/self/exe", "test_workstation", "--gtest_filter=GenLockRole.OfAnExecutedProgram",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST_F(GenLockTest, ExecutedProgramIsRefusedWhileHeld) {
    void* h = nullptr;
    ASSERT_EQ(lock("FCS0101", &h), 0u);
    EXPECT_EQ(exec_role(home_, "refused"), kRoleDone);
    ASSERT_EQ(unlock("FCS0101", h), 0u);
    EXPECT_EQ(exec_role(home_, "granted"), kRoleDone);
}

// Runs only in the program started by ExecutedProgramIsRefusedWhileHeld, on its workstation
// folder; the exit status is the verdict.
TEST(GenLockRole, OfAnExecutedProgram) {
    const char* role = std::getenv("TUSAVE_GENLOCK_ROLE");
    if (role == nullptr) GTEST_SKIP() << "runs only as the program started by ExecutedProgramIsRefusedWhileHeld";
    void* h = nullptr;
    const bool ok = std::string(role) == "refused" ? lock("FCS0101", &h) == eda::kLocked && h == nullptr
                                                   : lock("FCS0101", &h) == 0u && unlock("FCS0101", h) == 0u;
    std::fflush(nullptr);
    ::_exit(ok ? kRoleDone : 1);
}

}  // namespace
