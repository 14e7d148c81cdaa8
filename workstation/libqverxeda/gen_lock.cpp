// Generation lock of a station: $TUSAVE_HOME/lock/<project>/<station>.genlock held with
// flock(LOCK_EX | LOCK_NB) on an open file description of its own. flock locks belong to the
// open file description, so a second lock is refused from any process and from this one too,
// and the kernel drops the lock when the holder ends, however it ends.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "config/ws_config.h"
#include "failpoint/failpoint.h"
#include "libqveeda/eda_status.h"
#include "libqveeda/file_util.h"
#include "libqverxeda.h"
#include "libqverxeda/gen_lock.h"
#include "port/port_host.h"

using namespace eda;

namespace {

struct GenLock {
    int fd = -1;
    std::string project;
    std::string station;
};

// The live handles: an unlock is only ever done on a handle of this set, so a stale or
// foreign pointer is refused instead of being used.
std::mutex g_mutex;
std::set<const GenLock*> g_live;

std::uint32_t io_fail(const std::string& what, const std::string& path) {
    return fail(kIo, what + " " + path + ": " + std::strerror(errno));
}

void put_info(char* info, int infoSize, const std::string& text) {
    if (info == nullptr || infoSize <= 0) return;
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(infoSize) - 1);
    std::memcpy(info, text.data(), n);
    info[n] = '\0';
}

// The holder's pid: the digits of the lock file's first line, "" when there are none.
std::string holder_of(int fd) {
    char buf[32] = {};
    const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return {};
    std::string s(buf, static_cast<std::size_t>(n));
    s.resize(s.find('\n') == std::string::npos ? s.size() : s.find('\n'));
    if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos) return {};
    return s;
}

// Whether the project's system configuration, or its equalization project's, names the station.
bool configured(const char* project, const char* station) {
    for (bool eqlz : {false, true}) {
        ws::Project p;
        std::string error;
        if (ws::load_project(project, eqlz, p, error) && p.find(station)) return true;
    }
    return false;
}

// The lock file itself, never what a symbolic link in its place points to, and never a
// FIFO or device (that would block or be emptied). Its content is not truncated here:
// the lock is the flock, and the text is the holder's to write.
int open_lock_file(const std::string& path) {
    return port::open_regular(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0644);
}

}  // namespace

std::uint32_t QVEEdaGenLockStation(const char* project, const char* station, int /*mode*/, char* info, int infoSize,
                                   void** handle) {
    if (auto r = failpoint::hit("QVEEdaGenLockStation"))
        return fail(static_cast<std::uint32_t>(*r), "QVEEdaGenLockStation: failpoint");
    if (handle == nullptr) return fail(kBadArgument, "QVEEdaGenLockStation: no handle pointer");
    if (project == nullptr || !ws::valid_name(project))
        return fail(kBadName, std::string("QVEEdaGenLockStation: invalid project \"") + (project ? project : "") + "\"");
    if (station == nullptr || !ws::valid_name(station))
        return fail(kBadName, std::string("QVEEdaGenLockStation: invalid station \"") + (station ? station : "") + "\"");

    // A station that no configuration names has nothing to protect (its save fails when it is
    // initialised): it gets a handle, but no lock file is made for a name that was never a
    // station's. The same holds for a configuration that cannot be read.
    if (!configured(project, station)) {
        auto* lock = new GenLock{-1, project, station};
        {
            std::lock_guard<std::mutex> g(g_mutex);
            g_live.insert(lock);
        }
        put_info(info, infoSize, "no station");
        *handle = lock;
        return kOk;
    }
    const std::string dir = ws::home() + "/lock/" + project;
    if (auto r = make_dirs(dir)) return r;
    const std::string path = dir + "/" + station + ".genlock";
    const int fd = open_lock_file(path);
    if (fd < 0) return io_fail("cannot open", path);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        const std::string holder = holder_of(fd);
        ::close(fd);
        if (e == EWOULDBLOCK) {
            put_info(info, infoSize, "pid " + holder);
            return fail(kLocked, "station " + std::string(station) + " of project " + project +
                                     " is locked for generation by " +
                                     (holder.empty() ? std::string("another process") : "pid " + holder) + " (" +
                                     path + ")");
        }
        errno = e;
        return io_fail("cannot lock", path);
    }
    // The file is never removed: another process may already hold it open, and removing it
    // would let two holders lock two different files of the same name.
    // The pid goes over the start first, then the tail of an older, longer text is cut: a
    // refused locker reading meanwhile sees a whole first line, never an empty file.
    const std::string pid = std::to_string(::getpid());
    const std::string text = pid + "\n";
    if (::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
        ::ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
        const std::uint32_t r = io_fail("cannot write", path);
        ::close(fd);
        return r;
    }
    auto* lock = new GenLock{fd, project, station};
    {
        std::lock_guard<std::mutex> g(g_mutex);
        g_live.insert(lock);
    }
    put_info(info, infoSize, "pid " + pid);
    *handle = lock;
    return kOk;
}

// An unlock that fails (as a close that fails) has still given the lock back: held on, the
// station would stay locked for as long as this process lives.
std::uint32_t QVEEdaGenUnlockStation(const char* project, const char* station, void* handle) {
    const auto armed = failpoint::hit("QVEEdaGenUnlockStation");
    auto* lock = static_cast<GenLock*>(handle);
    {
        std::lock_guard<std::mutex> g(g_mutex);
        if (lock == nullptr || g_live.count(lock) == 0)
            return fail(kBadHandle, "QVEEdaGenUnlockStation: not a generation lock handle");
        if (project == nullptr || station == nullptr || lock->project != project || lock->station != station)
            return fail(kBadHandle, "QVEEdaGenUnlockStation: the handle locks station " + lock->station +
                                        " of project " + lock->project);
        g_live.erase(lock);
    }
    // Empty the pid text before the lock goes, so that the file never names a dead holder
    // while unlocked.
    int rc = 0;
    if (lock->fd >= 0) {
        [[maybe_unused]] const int t = ::ftruncate(lock->fd, 0);
        rc = ::close(lock->fd);  // closing the description releases the flock
    }
    delete lock;
    if (armed) return fail(static_cast<std::uint32_t>(*armed), "QVEEdaGenUnlockStation: failpoint");
    if (rc != 0) return fail(kIo, std::string("QVEEdaGenUnlockStation: close: ") + std::strerror(errno));
    return kOk;
}

namespace eda {

std::string gen_lock_holder(const std::string& project, const std::string& station) {
    if (!ws::valid_name(project) || !ws::valid_name(station)) return {};
    const int fd = port::open_regular((ws::home() + "/lock/" + project + "/" + station + ".genlock").c_str(),
                                      O_RDONLY | O_NOFOLLOW);
    if (fd < 0) return {};
    std::string pid = holder_of(fd);
    ::close(fd);
    return pid;
}

}  // namespace eda

namespace eda {

std::uint32_t HeldGenLock::take(const std::string& project, const std::string& station,
                                std::unique_ptr<HeldGenLock>& out, std::string& error) {
    if (!ws::valid_name(project) || !ws::valid_name(station)) {
        error = "invalid project or station name";
        return kBadName;
    }
    const std::string dir = ws::home() + "/lock/" + project;
    const std::string path = dir + "/" + station + ".genlock";
    std::unique_ptr<HeldGenLock> h(new HeldGenLock);
    struct stat st {};
    h->fd_ = port::open_regular(path.c_str(), O_RDWR | O_NOFOLLOW, 0, &st);
    if (h->fd_ < 0 && errno == ENOENT) {
        if (auto r = make_dirs(dir)) {
            error = last_error();
            return r;
        }
        h->fd_ = open_lock_file(path);
        h->made_ = true;
        if (h->fd_ >= 0 && ::fstat(h->fd_, &st) != 0) st = {};
    }
    if (h->fd_ < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return kIo;
    }
    if (::flock(h->fd_, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        const std::string holder = holder_of(h->fd_);
        if (e == EWOULDBLOCK) {
            error = "station " + station + " of project " + project + " is locked for generation by " +
                    (holder.empty() ? std::string("another process") : "pid " + holder) + " (" + path + ")";
            return kLocked;
        }
        error = "cannot lock " + path + ": " + std::strerror(e);
        return kIo;
    }
    // What was there (a stale pid of a holder that died keeps its text): put back at the end.
    char buf[4096];
    const ssize_t n = ::pread(h->fd_, buf, sizeof buf, 0);
    if (n > 0) h->text_.assign(buf, static_cast<std::size_t>(n));
    h->times_[0] = st.st_atim;
    h->times_[1] = st.st_mtim;
    const std::string text = std::to_string(::getpid()) + "\n";
    if (::pwrite(h->fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
        ::ftruncate(h->fd_, static_cast<off_t>(text.size())) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return kIo;   // the destructor puts the text back and unlocks
    }
    out = std::move(h);
    return kOk;
}

// Still holding the lock, so that no other holder's text or times are overwritten.
HeldGenLock::~HeldGenLock() {
    if (fd_ < 0) return;
    const bool restore = !made_ && ::pwrite(fd_, text_.data(), text_.size(), 0) == static_cast<ssize_t>(text_.size());
    [[maybe_unused]] const int t = ::ftruncate(fd_, restore ? static_cast<off_t>(text_.size()) : 0);
    if (restore) ::futimens(fd_, times_);
    ::close(fd_);
}

}  // namespace eda
