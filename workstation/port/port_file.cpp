// File handles: open with access, share mode and disposition, read, write, seek, size, close;
// delete, copy, move and full path names. Share modes are flock locks held on an open file
// description of the file, so they hold among handles of this and of any other process.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "failpoint/failpoint.h"
#include "port/port_host.h"
#include "port/port_internal.h"
#include "tusave_sanitized.h"

namespace port::detail {
namespace {

std::mutex g_mu;
std::unordered_set<PortObject*>& live() {
    static std::unordered_set<PortObject*> s;
    return s;
}

}  // namespace

HANDLE make(PortObject* o) {
    std::lock_guard lk(g_mu);
    live().insert(o);
    return o;
}

PortObject* get_any(HANDLE h) {
    std::lock_guard lk(g_mu);
    if (h == nullptr || h == INVALID_HANDLE_VALUE || !live().count(h)) {
        set_error(EBADF);
        return nullptr;
    }
    return h;
}

PortObject* get(HANDLE h, PortObject::Kind kind) {
    PortObject* o = get_any(h);
    if (o && o->kind != kind) {
        set_error(EBADF);
        return nullptr;
    }
    return o;
}

bool forget(HANDLE h) {
    std::lock_guard lk(g_mu);
    return live().erase(h) != 0;
}

int armed_error(long long r) {
    if (r == 0) return EIO;
    return static_cast<int>(r);
}

}  // namespace port::detail

using port::detail::armed_error;
using port::detail::set_error;
using Kind = PortObject::Kind;

namespace {

thread_local DWORD t_lastError = 0;

bool armed(failpoint::Point p) {
    if (auto r = failpoint::hit(p)) {
        set_error(armed_error(*r));
        return true;
    }
    return false;
}

// The folder part of path, as a view into it (or "." or "/").
std::string_view dir_view(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return std::string_view(path).substr(0, slash);
}

std::string dir_of(const std::string& path) { return std::string(dir_view(path)); }

// The target's folder, opened for the replace-on-close files of it that are open together: the
// last one opened in this thread while a file of it is still open, else opened anew. None for
// a name without a folder or a path that ends in one, or when the folder cannot be opened (the
// paths then tell the error).
std::shared_ptr<const PortFolder> folder_of(const std::string& target) {
    if (target.find('/') == std::string::npos || target.back() == '/') return nullptr;
    struct Memo {
        std::string dir;
        std::weak_ptr<const PortFolder> folder;
    };
    thread_local Memo memo;
    const std::string_view dir = dir_view(target);
    if (memo.dir == dir)
        if (auto f = memo.folder.lock()) return f;
    auto f = std::make_shared<PortFolder>();
    f->fd = ::open(std::string(dir).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (f->fd < 0) return nullptr;
    memo.dir.assign(dir);
    memo.folder = f;
    return f;
}

// The descriptor and name to reach a file of the folder by: the folder and the path's last part
// (without a folder: the path itself).
int at_fd(const PortFolder* f) { return f ? f->fd : AT_FDCWD; }
const char* at_name(const PortFolder* f, const std::string& path) {
    return f ? path.c_str() + path.rfind('/') + 1 : path.c_str();
}

// The handle's temporary renamed over its target.
int rename_temp(const PortObject* o) {
    const PortFolder* f = o->folder.get();
    return ::renameat(at_fd(f), at_name(f, o->temp), at_fd(f), at_name(f, o->target));
}

// The process's ids, asked of the kernel once (a group of thousands of files would ask at every
// file); a forked child asks again.
struct Ids {
    pid_t pid;
    uid_t euid;
    gid_t egid;
};
Ids ask_ids() { return {::getpid(), ::geteuid(), ::getegid()}; }
std::atomic<bool> g_idsStale{true};
Ids g_ids{};
const Ids& ids() {
    static const bool once = [] {
        ::pthread_atfork(nullptr, nullptr, [] { g_idsStale.store(true); });
        return true;
    }();
    (void)once;
    if (g_idsStale.load(std::memory_order_acquire)) {
        static std::mutex mu;
        std::lock_guard lk(mu);
        if (g_idsStale.load()) {
            g_ids = ask_ids();
            g_idsStale.store(false, std::memory_order_release);
        }
    }
    return g_ids;
}

// The process's file mode creation mask, read once (from /proc, which leaves it unchanged; a
// program does not change its mask while it writes a group); nothing where it cannot be read.
std::optional<mode_t> process_umask() {
    static const std::optional<mode_t> mask = []() -> std::optional<mode_t> {
        std::FILE* f = std::fopen("/proc/self/status", "re");
        if (!f) return std::nullopt;
        char line[256];
        std::optional<mode_t> m;
        while (!m && std::fgets(line, sizeof line, f))
            if (std::strncmp(line, "Umask:", 6) == 0) {
                unsigned v = 0;
                if (std::sscanf(line + 6, "%o", &v) == 1) m = static_cast<mode_t>(v & 0777);
            }
        std::fclose(f);
        return m;
    }();
    return mask;
}

// A file whose permission bits give the caller no write access is read-only, for root too
// (as a read-only attribute is on the workstation's platform).
bool read_only(const struct stat& st) {
    const mode_t w = S_IWUSR | S_IWGRP | S_IWOTH;
    const Ids& id = ids();
    if (id.euid == 0) return (st.st_mode & w) == 0;
    if (st.st_uid == id.euid) return (st.st_mode & S_IWUSR) == 0;
    if (st.st_gid == id.egid) return (st.st_mode & S_IWGRP) == 0;
    return (st.st_mode & S_IWOTH) == 0;
}

// Share mode to lock: an open that lets others read (and either only reads itself or lets
// others write too) takes a shared lock; every other open takes an exclusive one. Writers
// that share only reading therefore also exclude readers: stricter than the platform's rule,
// never looser.
int lock_op(DWORD access, DWORD share) {
    const bool writes = (access & GENERIC_WRITE) != 0;
    if ((share & FILE_SHARE_READ) && (!writes || (share & FILE_SHARE_WRITE))) return LOCK_SH;
    return LOCK_EX;
}

bool take_lock(int fd, int op) {
    while (flock(fd, op | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        // A share-mode conflict reads as "busy", not "would block".
        set_error(errno == EWOULDBLOCK ? EBUSY : errno);
        return false;
    }
    return true;
}

bool write_all(int fd, const void* buf, std::size_t size, std::size_t& done) {
    const auto* p = static_cast<const char*>(buf);
    done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool port::detail::stale_scan_due(const std::string& dir) {
    constexpr auto kRescan = std::chrono::seconds(60);
    static std::mutex mu;
    static std::unordered_map<std::string, std::chrono::steady_clock::time_point> scanned;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lk(mu);
    auto [it, added] = scanned.try_emplace(dir, now);
    if (!added && now - it->second < kRescan) return false;
    it->second = now;
    return true;
}

namespace {

// Whether the folder's permission bits give write access (root's rule), asked of the kernel at
// most once a second per folder: a group of thousands of files in a few folders asks a few times.
bool folder_writable_for_root(const std::string& dir) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kFresh = std::chrono::seconds(1);
    static std::mutex mu;
    static std::unordered_map<std::string, std::pair<Clock::time_point, bool>> known;
    const auto now = Clock::now();
    {
        std::lock_guard lk(mu);
        auto it = known.find(dir);
        if (it != known.end() && now - it->second.first < kFresh) return it->second.second;
    }
    struct stat st{};
    const bool writable = ::stat(dir.c_str(), &st) != 0 || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    std::lock_guard lk(mu);
    known.insert_or_assign(dir, std::make_pair(now, writable));
    return writable;
}

// A new temporary beside the target, named after it; created with mode (umask applies). The
// name takes at most the first kTempStem bytes of the target's, so that a target whose name
// is as long as a folder entry can be has a temporary too. A folder whose permission bits give
// no write access takes no temporary, for root too (as a file without write bits is read-only
// for root).
int make_temp(const std::string& target, std::string& temp, mode_t mode = 0600, const PortFolder* folder = nullptr) {
    constexpr std::size_t kTempStem = 200;   // + ".<pid>.<n>.tmp" and the dot stay below NAME_MAX
    static std::atomic<unsigned> counter{0};
    // The folder of the last temporary and when its checks were made: the files of one folder
    // in a row ask the folder maps once a second, not at every file.
    struct FolderMemo {
        std::string dir;
        std::chrono::steady_clock::time_point at{};
        bool writable = true;
    };
    thread_local FolderMemo memo;
    const std::string_view dir = dir_view(target);
    const auto now = std::chrono::steady_clock::now();
    if (memo.dir != dir || now - memo.at >= std::chrono::seconds(1)) {
        memo.dir.assign(dir);
        memo.at = now;
        memo.writable = ids().euid != 0 || folder_writable_for_root(memo.dir);
        if (memo.writable && port::detail::stale_scan_due(memo.dir)) port::remove_dead_temps(memo.dir);
    }
    if (!memo.writable) {
        errno = EACCES;
        return -1;
    }
    const std::size_t slash = target.rfind('/');
    const std::string_view stem = std::string_view(target).substr(slash == std::string::npos ? 0 : slash + 1, kTempStem);
    char pid[16], n[16];
    const std::string_view pidText(pid, static_cast<std::size_t>(std::to_chars(pid, pid + sizeof pid, ids().pid).ptr - pid));
    std::string t;
    t.reserve(dir.size() + stem.size() + pidText.size() + 24);
    for (int attempt = 0; attempt < 100; ++attempt) {
        t.clear();
        t.append(dir).append("/.").append(stem).append(1, '.').append(pidText).append(1, '.');
        t.append(n, std::to_chars(n, n + sizeof n, counter.fetch_add(1)).ptr).append(".tmp");
        int fd = ::openat(at_fd(folder), at_name(folder, t), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            temp = std::move(t);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

bool copy_fd(int from, int to) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(from, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        std::size_t done = 0;
        if (!write_all(to, buf, static_cast<std::size_t>(n), done)) return false;
    }
}

// Up to size bytes of a regular file from offset, whatever its descriptor's position; a short
// read at or past the size the file had is its end. The count read, or -1 with errno.
ssize_t read_at(int fd, void* buf, std::size_t size, std::uint64_t offset, std::uint64_t knownSize) {
    auto* p = static_cast<char*>(buf);
    std::size_t got = 0;
    while (got < size && offset + got < knownSize) {
        const ssize_t n = ::pread(fd, p + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// A copy of the regular file from into the fresh file to, both from their starts, without
// moving either descriptor.
bool copy_from_start(int from, int to, std::uint64_t knownSize) {
    char buf[65536];
    std::uint64_t off = 0;
    for (;;) {
        const ssize_t n = ::pread(from, buf, sizeof buf, static_cast<off_t>(off));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        for (std::size_t done = 0; done < static_cast<std::size_t>(n);) {
            const ssize_t w = ::pwrite(to, buf + done, static_cast<std::size_t>(n) - done, static_cast<off_t>(off + done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                if (w == 0) errno = EIO;
                return false;
            }
            done += static_cast<std::size_t>(w);
        }
        off += static_cast<std::uint64_t>(n);
        if (static_cast<std::size_t>(n) < sizeof buf && off >= knownSize) return true;
    }
}

void discard_temp(PortObject* o) {
    if (o->fd >= 0) ::close(o->fd);
    o->fd = -1;
    if (const PortFolder* f = o->folder.get(); !o->temp.empty()) ::unlinkat(at_fd(f), at_name(f, o->temp), 0);
}

void release(PortObject* o) {
    if (o->lockFd >= 0 && o->lockFd != o->fd) ::close(o->lockFd);
    if (o->fd >= 0) ::close(o->fd);
    delete o;
}

HANDLE fail_open(PortObject* o, int e) {
    if (o->replaceOnClose) discard_temp(o);
    release(o);
    set_error(e);
    return INVALID_HANDLE_VALUE;
}

// Replace-on-close open: the target is checked and locked, the temporary starts as a copy
// of it (or empty when the disposition truncates or the target is new) with its permissions.
HANDLE open_replace(PortObject* o, const char* path, DWORD share, DWORD access, DWORD disposition, bool whole) {
    o->replaceOnClose = true;
    o->target = path;
    // The target is opened (for its lock and its bytes) and checked in one step.
    struct stat st{};
    o->folder = folder_of(o->target);
    const PortFolder* f = o->folder.get();
    o->lockFd = port::open_regular(at_name(f, o->target), O_RDONLY, 0, &st, at_fd(f));
    const bool exists = o->lockFd >= 0;
    if (!exists && errno != ENOENT) return fail_open(o, errno);
    switch (disposition) {
        case CREATE_NEW:
            if (exists) return fail_open(o, EEXIST);
            break;
        case OPEN_EXISTING:
        case TRUNCATE_EXISTING:
            if (!exists) return fail_open(o, ENOENT);
            break;
        case CREATE_ALWAYS:
        case OPEN_ALWAYS:
            break;
        default:
            return fail_open(o, EINVAL);
    }
    bool keep = !whole && exists && (disposition == OPEN_EXISTING || disposition == OPEN_ALWAYS);
    if (exists) {
        if (read_only(st)) return fail_open(o, EACCES);
        if (!take_lock(o->lockFd, lock_op(access, share))) return fail_open(o, static_cast<int>(GetLastError()));
        o->targetSize = static_cast<std::uint64_t>(st.st_size);
    }
    // Created with the target's permissions; only what the umask took needs a change of mode
    // (a metadata write per file that a group of thousands of files feels). Its file system is
    // noted for the grouped close.
    o->fd = make_temp(o->target, o->temp, exists ? st.st_mode & 07777 : 0666, f);
    if (o->fd < 0) return fail_open(o, errno);
    // Beside the target, the temporary is on its file system; the mask tells whether it took
    // permission bits (set-id and sticky bits the kernel may drop: asked), so that only a file
    // that lost some asks the kernel.
    const std::optional<mode_t> mask = process_umask();
    if (exists && mask && (st.st_mode & (07000 | *mask)) == 0) {
        o->dev = st.st_dev;
    } else {
        struct stat tst{};
        if (::fstat(o->fd, &tst) != 0 ||
            (exists && (tst.st_mode & 07777) != (st.st_mode & 07777) && ::fchmod(o->fd, st.st_mode & 07777) != 0))
            return fail_open(o, errno);
        o->dev = tst.st_dev;
    }
    if (keep && !copy_from_start(o->lockFd, o->fd, o->targetSize)) return fail_open(o, errno);
    return port::detail::make(o);
}

BOOL close_replace(PortObject* o) {
    if (o->abandoned) {
        discard_temp(o);
        return true;
    }
    if (o->poisoned) {
        discard_temp(o);
        set_error(o->poisonError ? o->poisonError : EIO);
        return false;
    }
    if (::fsync(o->fd) != 0) {
        int e = errno;
        discard_temp(o);
        set_error(e);
        return false;
    }
    int e = ::close(o->fd) == 0 ? 0 : errno;
    o->fd = -1;
    if (e == 0 && rename_temp(o) != 0) e = errno;
    if (e != 0) {
        discard_temp(o);
        set_error(e);
        return false;
    }
    // The new content is in place now; only its durability is in doubt.
    std::optional<long long> fp = failpoint::hit("CloseHandle.syncdir");
    if (fp || !port::fsync_dir(dir_of(o->target))) {
        set_error(PORT_ERROR_NOT_CONFIRMED);
        return false;
    }
    return true;
}

}  // namespace

namespace port::detail {
void set_error(int e) { t_lastError = static_cast<DWORD>(e); }
}  // namespace port::detail

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

HANDLE CreateFileA(const char* path, DWORD access, DWORD share, void*, DWORD disposition, DWORD flags, HANDLE) {
    if (armed("CreateFileA")) return INVALID_HANDLE_VALUE;
    if (path == nullptr || *path == '\0') {
        set_error(ENOENT);
        return INVALID_HANDLE_VALUE;
    }
    auto* o = new PortObject;
    o->kind = Kind::File;
    if (flags & (PORT_FLAG_REPLACE_ON_CLOSE | PORT_FLAG_REPLACE_WHOLE))
        return open_replace(o, path, share, access, disposition, (flags & PORT_FLAG_REPLACE_WHOLE) != 0);

    const bool rd = access & GENERIC_READ, wr = access & GENERIC_WRITE;
    int oflags = O_CLOEXEC | (rd && wr ? O_RDWR : wr ? O_WRONLY : O_RDONLY);
    switch (disposition) {
        case CREATE_NEW: oflags |= O_CREAT | O_EXCL; break;
        case CREATE_ALWAYS: oflags |= O_CREAT; break;  // truncated once the lock is held
        case OPEN_EXISTING: break;
        case OPEN_ALWAYS: oflags |= O_CREAT; break;
        case TRUNCATE_EXISTING:
            if (!wr) return fail_open(o, EINVAL);
            break;
        default: return fail_open(o, EINVAL);
    }
    if (wr) {
        struct stat st{};
        if (::stat(path, &st) == 0 && S_ISREG(st.st_mode) && read_only(st)) return fail_open(o, EACCES);
    }
    o->fd = port::open_regular(path, oflags, 0666);
    if (o->fd < 0) return fail_open(o, errno);
    o->lockFd = o->fd;
    if (!take_lock(o->fd, lock_op(access, share))) return fail_open(o, static_cast<int>(GetLastError()));
    if ((disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && ::ftruncate(o->fd, 0) != 0)
        return fail_open(o, errno);
    return port::detail::make(o);
}

BOOL ReadFile(HANDLE h, void* buf, DWORD size, DWORD* done, void*) {
    if (done) *done = 0;
    PortObject* o = port::detail::get(h, Kind::File);
    if (!o) return false;
    if (armed("ReadFile")) return false;
    if (buf == nullptr && size != 0) {
        set_error(EFAULT);
        return false;
    }
    auto* p = static_cast<char*>(buf);
    DWORD got = 0;
    while (got < size) {
        ssize_t n = ::read(o->fd, p + got, size - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (done) *done = got;
            set_error(errno);
            return false;
        }
        if (n == 0) break;
        got += static_cast<DWORD>(n);
    }
    if (done) *done = got;
    return true;
}

BOOL WriteFile(HANDLE h, const void* buf, DWORD size, DWORD* done, void*) {
    if (done) *done = 0;
    PortObject* o = port::detail::get(h, Kind::File);
    if (!o) return false;
    auto poison = [o](int e) {
        o->poisoned = true;
        if (!o->poisonError) o->poisonError = e;
    };
    if (auto r = failpoint::hit("WriteFile")) {
        poison(armed_error(*r));
        set_error(armed_error(*r));
        return false;
    }
    if (buf == nullptr && size != 0) {
        set_error(EFAULT);
        poison(EFAULT);
        return false;
    }
    DWORD want = size;
    if (auto r = failpoint::hit("WriteFile.short"); r && *r >= 0 && static_cast<unsigned long long>(*r) < size)
        want = static_cast<DWORD>(*r);
    std::size_t wrote = 0;
    if (!write_all(o->fd, buf, want, wrote)) {
        int e = errno;
        if (done) *done = static_cast<DWORD>(wrote);
        poison(e);
        set_error(e);
        return false;
    }
    if (done) *done = static_cast<DWORD>(wrote);
    if (wrote < size) poison(EIO);
    return true;
}

DWORD SetFilePointer(HANDLE h, LONG distance, LONG* high, DWORD method) {
    PortObject* o = port::detail::get(h, Kind::File);
    if (!o) return INVALID_SET_FILE_POINTER;
    if (armed("SetFilePointer")) return INVALID_SET_FILE_POINTER;
    off_t off = high ? static_cast<off_t>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(*high)) << 32) |
                                          static_cast<std::uint32_t>(distance))
                     : static_cast<off_t>(distance);
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : method == FILE_END ? SEEK_END : -1;
    if (whence < 0) {
        set_error(EINVAL);
        return INVALID_SET_FILE_POINTER;
    }
    off_t pos = ::lseek(o->fd, off, whence);
    if (pos < 0) {
        set_error(errno);
        return INVALID_SET_FILE_POINTER;
    }
    if (high) *high = static_cast<LONG>(static_cast<std::uint64_t>(pos) >> 32);
    else if (pos > static_cast<off_t>(0xFFFFFFFEu)) {
        set_error(EOVERFLOW);
        return INVALID_SET_FILE_POINTER;
    }
    set_error(0);
    return static_cast<DWORD>(pos);
}

DWORD GetFileSize(HANDLE h, DWORD* high) {
    PortObject* o = port::detail::get(h, Kind::File);
    if (!o) return INVALID_FILE_SIZE;
    if (armed("GetFileSize")) return INVALID_FILE_SIZE;
    struct stat st{};
    if (::fstat(o->fd, &st) != 0) {
        set_error(errno);
        return INVALID_FILE_SIZE;
    }
    auto size = static_cast<std::uint64_t>(st.st_size);
    if (high) *high = static_cast<DWORD>(size >> 32);
    else if (size >= INVALID_FILE_SIZE) {
        set_error(EOVERFLOW);
        return INVALID_FILE_SIZE;
    }
    set_error(0);
    return static_cast<DWORD>(size);
}

BOOL PortAbandonFile(HANDLE h) {
    PortObject* o = port::detail::get(h, Kind::File);
    if (!o) return false;
    if (!o->replaceOnClose) {
        set_error(EINVAL);
        return false;
    }
    o->abandoned = true;
    return true;
}

DWORD PortTargetSize(HANDLE h) {
    PortObject* o = port::detail::get(h, Kind::File);
    if (!o) return INVALID_FILE_SIZE;
    if (armed("GetFileSize")) return INVALID_FILE_SIZE;
    if (!o->replaceOnClose || o->targetSize == PortObject::kNoTarget) {
        set_error(EINVAL);
        return INVALID_FILE_SIZE;
    }
    if (o->targetSize >= INVALID_FILE_SIZE) {
        set_error(EOVERFLOW);
        return INVALID_FILE_SIZE;
    }
    set_error(0);
    return static_cast<DWORD>(o->targetSize);
}

BOOL PortReadTarget(HANDLE h, void* buf, DWORD size, DWORD* done, std::uint64_t offset) {
    if (done) *done = 0;
    PortObject* o = port::detail::get(h, Kind::File);
    if (!o) return false;
    if (armed("ReadFile")) return false;
    if (!o->replaceOnClose || o->targetSize == PortObject::kNoTarget || (buf == nullptr && size != 0)) {
        set_error(buf == nullptr && size != 0 ? EFAULT : EINVAL);
        return false;
    }
    const ssize_t n = read_at(o->lockFd, buf, size, offset, o->targetSize);
    if (n < 0) {
        set_error(errno);
        return false;
    }
    if (done) *done = static_cast<DWORD>(n);
    return true;
}

// Closes every kind of handle. An armed failpoint still releases the handle (as a failed
// close releases the descriptor), and a replace-on-close handle then discards its temporary.
BOOL CloseHandle(HANDLE h) {
    PortObject* o = port::detail::get_any(h);
    if (!o) return false;
    auto fp = failpoint::hit("CloseHandle");
    port::detail::forget(h);
    BOOL ok = true;
    int err = 0;
    switch (o->kind) {
        case Kind::File:
            if (o->replaceOnClose) {
                if (fp) {
                    discard_temp(o);
                } else {
                    ok = close_replace(o);
                    err = static_cast<int>(GetLastError());
                }
            } else if (::close(o->fd) != 0) {
                ok = false;
                err = errno;
            }
            if (!o->replaceOnClose) o->lockFd = -1;
            o->fd = -1;
            release(o);
            break;
        case Kind::Find:
            delete o;
            break;
        case Kind::Process:
            port::detail::close_process(o);
            break;
        case Kind::Fd:
            if (o->own && ::close(o->fd) != 0) {
                ok = false;
                err = errno;
            }
            delete o;
            break;
    }
    if (fp) {
        set_error(armed_error(*fp));
        return false;
    }
    if (!ok) set_error(err);
    return ok;
}

// Closes replace-on-close handles as one group: all temporaries are flushed with one syncfs
// per file system, renamed over their targets in handle order, and the renames made durable
// with a second syncfs, instead of an fsync of every file and folder. A handle that is not
// replace-on-close is closed as by CloseHandle. closed[i] tells how handle i fared; the last
// failure's error is left for GetLastError.
BOOL PortCloseFiles(const HANDLE* handles, DWORD count, BOOL* closed, const BOOL* stop) {
    BOOL all = true;
    int lastErr = 0;
    std::vector<PortObject*> pending(count, nullptr);
    auto fail = [&](DWORD i, int e) {
        closed[i] = false;
        all = false;
        lastErr = e;
    };
    // After a failed handle that stops the group, the temporaries after it are discarded.
    auto cancel_after = [&](DWORD i) {
        for (DWORD j = i + 1; j < count; ++j) {
            if (!pending[j]) continue;
            discard_temp(pending[j]);
            release(pending[j]);
            pending[j] = nullptr;
            fail(j, ECANCELED);
        }
    };
    auto stops = [&](DWORD i) { return stop != nullptr && stop[i] && !closed[i]; };
    for (DWORD i = 0; i < count; ++i) {
        closed[i] = true;
        PortObject* o = port::detail::get(handles[i], Kind::File);
        if (!o || !o->replaceOnClose) {
            if (!CloseHandle(handles[i])) fail(i, static_cast<int>(GetLastError()));
            continue;
        }
        auto fp = failpoint::hit("CloseHandle");
        port::detail::forget(handles[i]);
        if (fp || o->abandoned || o->poisoned) {
            discard_temp(o);
            if (fp) fail(i, armed_error(*fp));
            else if (o->poisoned) fail(i, o->poisonError ? o->poisonError : EIO);
            release(o);
            continue;
        }
        pending[i] = o;
    }
    // One descriptor per file system syncs it; a failed sync fails every file on it.
    auto sync_all = [&](bool discardOnFail) {
        std::vector<std::pair<dev_t, int>> devs;
        for (PortObject* o : pending) {
            if (!o) continue;
            bool seen = false;
            for (auto& d : devs) seen = seen || d.first == o->dev;
            if (!seen) devs.push_back({o->dev, ::syncfs(o->fd) == 0 ? 0 : errno});
        }
        for (DWORD i = 0; i < count; ++i) {
            PortObject* o = pending[i];
            int e = 0;
            for (auto& d : devs)
                if (o && d.first == o->dev) e = d.second;
            if (!o || e == 0) continue;
            fail(i, e);
            if (discardOnFail) discard_temp(o);
            release(o);
            pending[i] = nullptr;
        }
    };
    sync_all(true);
    for (DWORD i = 0; i < count; ++i)
        if (stops(i)) {
            cancel_after(i);
            break;
        }
    for (DWORD i = 0; i < count; ++i) {
        PortObject* o = pending[i];
        if (!o) continue;
        if (rename_temp(o) != 0) {
            fail(i, errno);
            discard_temp(o);
            release(o);
            pending[i] = nullptr;
            if (stops(i)) cancel_after(i);
        }
    }
    sync_all(false);
    for (DWORD i = 0; i < count; ++i)
        if (pending[i]) release(pending[i]);
    if (!all) set_error(lastErr);
    return all;
}

BOOL DeleteFileA(const char* path) {
    if (armed("DeleteFileA")) return false;
    if (path == nullptr) {
        set_error(EINVAL);
        return false;
    }
    if (::unlink(path) != 0) {
        set_error(errno);
        return false;
    }
    return true;
}

// Copies durably: a temporary beside the destination, with the source's permissions,
// renamed over it. A destination held by a handle (any share mode) is not replaced.
BOOL CopyFileA(const char* from, const char* to, BOOL failIfExists) {
    if (armed("CopyFileA")) return false;
    if (from == nullptr || to == nullptr) {
        set_error(EINVAL);
        return false;
    }
    int src = port::open_regular(from, O_RDONLY);
    struct stat st{};
    if (src < 0 || ::fstat(src, &st) != 0) {
        int e = errno;
        if (src >= 0) ::close(src);
        set_error(e);
        return false;
    }
    int dstLock = -1;
    auto fail = [&](int e, int tmp, const std::string& temp) {
        if (tmp >= 0) {
            ::close(tmp);
            ::unlink(temp.c_str());
        }
        if (dstLock >= 0) ::close(dstLock);
        ::close(src);
        set_error(e);
        return false;
    };
    struct stat dst{};
    if (::stat(to, &dst) == 0) {
        if (failIfExists) return fail(EEXIST, -1, {});
        if (S_ISDIR(dst.st_mode)) return fail(EISDIR, -1, {});
        if (read_only(dst)) return fail(EACCES, -1, {});
        dstLock = port::open_regular(to, O_RDONLY);
        if (dstLock < 0) return fail(errno, -1, {});
        if (!take_lock(dstLock, LOCK_EX)) return fail(static_cast<int>(GetLastError()), -1, {});
    }
    std::string temp;
    int tmp = make_temp(to, temp);
    if (tmp < 0) return fail(errno, -1, {});
    if (::fchmod(tmp, st.st_mode & 07777) != 0 || !copy_fd(src, tmp) || ::fsync(tmp) != 0) return fail(errno, tmp, temp);
    if (::close(tmp) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());   // the copy may be incomplete: it does not stay beside the destination
        return fail(e, -1, {});
    }
    int rc = failIfExists ? ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, to, RENAME_NOREPLACE)
                          : ::rename(temp.c_str(), to);
    if (rc != 0 && failIfExists && errno == EINVAL) {  // file system without RENAME_NOREPLACE
        rc = ::link(temp.c_str(), to);
        if (rc == 0) ::unlink(temp.c_str());
    }
    if (rc != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        return fail(e, -1, {});
    }
    port::fsync_dir(dir_of(to));
    if (dstLock >= 0) ::close(dstLock);
    ::close(src);
    return true;
}

// Moves a file; an existing destination is not replaced.
BOOL MoveFileA(const char* from, const char* to) {
    if (armed("MoveFileA")) return false;
    if (from == nullptr || to == nullptr) {
        set_error(EINVAL);
        return false;
    }
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    int e = errno;
    if (e == EINVAL) {
        if (::access(to, F_OK) == 0) e = EEXIST;
        else if (::rename(from, to) == 0) return true;
        else e = errno;
    }
    if (e == EXDEV) {
        if (CopyFileA(from, to, true) && ::unlink(from) == 0) return true;
        e = static_cast<int>(GetLastError());
    }
    set_error(e);
    return false;
}

// Absolute, lexically normalised ("//", "." and ".." removed). As on the platform, a buffer
// that is too small leaves buf untouched and the result is the size needed with the NUL.
DWORD GetFullPathNameA(const char* path, DWORD size, char* buf, char** filePart) {
    if (armed("GetFullPathNameA")) return 0;
    if (path == nullptr || *path == '\0') {
        set_error(EINVAL);
        return 0;
    }
    std::string in = path;
    if (in[0] != '/') {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd)) {
            set_error(errno);
            return 0;
        }
        in = std::string(cwd) + "/" + in;
    }
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i < in.size()) {
        std::size_t j = in.find('/', i);
        if (j == std::string::npos) j = in.size();
        std::string part = in.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        i = j + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    if (out.empty()) out = "/";
    if (in.back() == '/' && out != "/") out += '/';
    if (out.size() + 1 > size || buf == nullptr) return static_cast<DWORD>(out.size() + 1);
    std::memcpy(buf, out.c_str(), out.size() + 1);
    if (filePart) {
        auto slash = out.rfind('/');
        *filePart = slash + 1 < out.size() ? buf + slash + 1 : nullptr;
    }
    return static_cast<DWORD>(out.size());
}

int port::open_regular(const char* path, int flags, mode_t mode, struct stat* out, int folder) {
    const int fd = ::openat(folder, path, flags | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    struct stat own{};
    struct stat& st = out ? *out : own;
    int e = 0;
    if (::fstat(fd, &st) != 0) e = errno;
    else if (!S_ISREG(st.st_mode)) e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    // Only a regular file is kept open, and O_NONBLOCK changes nothing for one: it stays set
    // (clearing it would be two more system calls per file).
    if (e != 0) {
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// The sanitizers watch heap buffers only: under them every buffer comes from the heap.
constexpr bool kMapBig = !tusave::kSanitized;

std::size_t page_size() {
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return page;
}

// n rounded up to whole pages (the page size is a power of two).
std::size_t whole_pages(std::size_t n) { return (n + page_size() - 1) & ~(page_size() - 1); }

}  // namespace

void port::prefault(void* p, std::size_t n) {
#ifdef MADV_POPULATE_WRITE
    constexpr std::size_t kWorthIt = 64 * 1024;
    if (n < kWorthIt) return;
    // Only the whole pages inside the buffer: the pages at its ends may be shared with others.
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t from = whole_pages(a), to = (a + n) & ~(page_size() - 1);
    if (to > from) static_cast<void>(::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE));
#else
    static_cast<void>(p);
    static_cast<void>(n);
#endif
}

bool port::fsync_dir(const std::string& dir) {
    int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) return false;
    bool ok = ::fsync(d) == 0 || errno == EINVAL;
    int e = errno;
    ::close(d);
    errno = e;
    return ok;
}

pid_t port::temp_owner(std::string_view entry) {
    constexpr std::string_view kTail = ".tmp";
    if (entry.size() < 1 + kTail.size() || entry[0] != '.' || !entry.ends_with(kTail)) return 0;
    const std::string_view stem = entry.substr(1, entry.size() - 1 - kTail.size());  // <name>.<pid>.<n>
    const auto lastDot = stem.rfind('.');
    if (lastDot == std::string_view::npos || lastDot == 0) return 0;
    const auto pidDot = stem.rfind('.', lastDot - 1);
    if (pidDot == std::string_view::npos || pidDot == 0) return 0;
    const std::string_view rest = stem.substr(pidDot + 1);  // <pid>.<n>
    const auto dot = rest.find('.');
    if (dot == 0 || dot + 1 == rest.size()) return 0;
    auto digits = [](std::string_view d) { return d.find_first_not_of("0123456789") == std::string_view::npos; };
    if (!digits(rest.substr(0, dot)) || !digits(rest.substr(dot + 1))) return 0;
    long long pid = 0;
    auto [p, ec] = std::from_chars(rest.data(), rest.data() + dot, pid);
    if (ec != std::errc() || pid <= 0 || pid > INT_MAX) return 0;
    return static_cast<pid_t>(pid);
}

bool port::detail::remove_if_dead_temp(DIR* d, const char* entry, std::span<const std::string_view> suffixes) {
    std::string_view temp(entry);
    for (std::string_view suffix : suffixes)
        if (temp.ends_with(suffix)) temp.remove_suffix(suffix.size());
    const pid_t pid = port::temp_owner(temp);
    if (pid == 0 || pid == ids().pid || ::kill(pid, 0) == 0 || errno != ESRCH) return false;
    return ::unlinkat(::dirfd(d), entry, 0) == 0;
}

void port::remove_dead_temps(const std::string& dir, std::span<const std::string_view> suffixes) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    for (int seen = 0; seen < 100000; ++seen) {
        const dirent* e = ::readdir(d);
        if (e == nullptr) break;
        port::detail::remove_if_dead_temp(d, e->d_name, suffixes);
    }
    ::closedir(d);
}

void* port::alloc_big(std::size_t n) {
    if (!kMapBig || n < kHugePage) {
        void* p = std::malloc(n ? n : 1);
        if (p) prefault(p, n);
        return p;
    }
    const std::size_t len = whole_pages(n);
    if (len < n || len > SIZE_MAX - kHugePage) return nullptr;
    void* raw = ::mmap(nullptr, len + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    // Only the stretch from the first 2 MiB boundary on is kept.
    const auto r = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t a = (r + kHugePage - 1) & ~(kHugePage - 1);
    if (a > r) ::munmap(raw, a - r);
    if (const std::uintptr_t end = r + len + kHugePage; end > a + len)
        ::munmap(reinterpret_cast<void*>(a + len), end - (a + len));
    auto* p = reinterpret_cast<void*>(a);
#ifdef MADV_HUGEPAGE
    static_cast<void>(::madvise(p, n / kHugePage * kHugePage, MADV_HUGEPAGE));
#endif
    prefault(p, len);
    return p;
}

void port::free_big(void* p, std::size_t n) {
    if (!kMapBig || n < kHugePage) std::free(p);
    else if (p != nullptr) ::munmap(p, whole_pages(n));
}

int port::read_regular(const char* path, std::string& out, std::size_t maxSize) {
    out.clear();
    struct stat st{};
    const int fd = open_regular(path, O_RDONLY, 0, &st);
    if (fd < 0) return errno;
    // Too large already: refused before a byte is read. A file that grows meanwhile is still
    // cut off by the count below.
    if (static_cast<std::uint64_t>(st.st_size) > maxSize) {
        ::close(fd);
        return EFBIG;
    }
    out.reserve(static_cast<std::size_t>(st.st_size));
    prefault(out.data(), static_cast<std::size_t>(st.st_size));
    char buf[65536];
    int e = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            e = n < 0 ? errno : 0;
            break;
        }
        if (static_cast<std::size_t>(n) > maxSize - out.size()) {
            e = EFBIG;
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (e != 0) out.clear();
    return e;
}
