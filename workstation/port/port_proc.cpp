// Processes, waits and sleep. Every wait and sleep is logged with the failpoint registry and
// can be made to return at once by arming it, so long time-outs stay testable.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "failpoint/failpoint.h"
#include "port/port_host.h"
#include "port/port_internal.h"

extern char** environ;

using port::detail::set_error;
using Clock = std::chrono::steady_clock;

namespace {

void sleep_ms(std::uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void set_status(PortObject* o, int status) {
    o->reaped = true;
    if (WIFEXITED(status)) o->exitCode = static_cast<DWORD>(WEXITSTATUS(status));
    else if (WIFSIGNALED(status)) o->exitCode = 128u + static_cast<DWORD>(WTERMSIG(status));
    else o->exitCode = 1;
}

// True when the process has ended (and was reaped); false while it runs or on error.
bool reap(PortObject* o, bool block, int& err) {
    err = 0;
    if (o->reaped) return true;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(o->pid, &status, block ? 0 : WNOHANG);
        if (r == o->pid) {
            set_status(o, status);
            return true;
        }
        if (r == 0) return false;
        if (errno == EINTR) continue;
        err = errno;
        return false;
    }
}

int poll_timeout(Clock::time_point deadline, DWORD ms) {
    if (ms == INFINITE) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// The first readable descriptor among handles of wrap_fd, as WaitForMultipleObjects answers.
DWORD wait_fds(DWORD count, const HANDLE* handles, DWORD ms) {
    // At most 64 handles (as the callers check): no allocation per wait.
    pollfd fds[64];
    if (count == 0 || count > 64) {
        set_error(EINVAL);
        return WAIT_FAILED;
    }
    for (DWORD i = 0; i < count; ++i) {
        PortObject* o = port::detail::get(handles[i], PortObject::Kind::Fd);
        if (!o) return WAIT_FAILED;
        fds[i] = pollfd{o->fd, POLLIN, 0};
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms == INFINITE ? 0 : ms);
    for (;;) {
        int n = ::poll(fds, count, poll_timeout(deadline, ms));
        if (n < 0) {
            if (errno == EINTR) continue;
            set_error(errno);
            return WAIT_FAILED;
        }
        if (n == 0) return WAIT_TIMEOUT;
        for (DWORD i = 0; i < count; ++i) {
            if (fds[i].revents & POLLNVAL) {
                set_error(EBADF);
                return WAIT_FAILED;
            }
            // Hang-up and error count as signalled: the next read reports them.
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) return WAIT_OBJECT_0 + i;
        }
    }
}

}  // namespace

namespace port::detail {

// The process keeps running after its handle is closed; a detached waiter reaps it then,
// so no ended child is left behind.
BOOL close_process(PortObject* o) {
    int err = 0;
    if (!reap(o, false, err) && err == 0) {
        pid_t pid = o->pid;
        std::thread([pid] {
            int status;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
    delete o;
    return true;
}

}  // namespace port::detail

BOOL CreateProcessV(const char* program, const std::vector<std::string>& argv, HANDLE* process) {
    if (process) *process = nullptr;
    if (auto r = failpoint::hit("CreateProcessV")) {
        set_error(port::detail::armed_error(*r));
        return false;
    }
    if (program == nullptr || process == nullptr) {
        set_error(EINVAL);
        return false;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 2);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    if (args.empty()) args.push_back(const_cast<char*>(program));
    args.push_back(nullptr);
    // The child runs detached: its standard streams are /dev/null, and it inherits none of
    // the caller's other descriptors (open files, sockets, locks), whether close-on-exec or not.
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (int rc = ::posix_spawn_file_actions_init(&actions); rc != 0) {
        set_error(rc);
        return false;
    }
    if (int rc = ::posix_spawnattr_init(&attr); rc != 0) {
        ::posix_spawn_file_actions_destroy(&actions);
        set_error(rc);
        return false;
    }
    sigset_t none;
    sigemptyset(&none);
    int rc = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr, &none);
    if (rc == 0) rc = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    if (rc == 0) rc = ::posix_spawn(&pid, program, &actions, &attr, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        set_error(rc);
        return false;
    }
    auto* o = new PortObject;
    o->kind = PortObject::Kind::Process;
    o->pid = pid;
    *process = port::detail::make(o);
    return true;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
    failpoint::record_wait("WaitForSingleObject", ms);
    if (auto r = failpoint::hit("WaitForSingleObject")) return static_cast<DWORD>(*r);
    PortObject* o = port::detail::get_any(h);
    if (!o) return WAIT_FAILED;
    if (o->kind == PortObject::Kind::Fd) return wait_fds(1, &h, ms);
    if (o->kind != PortObject::Kind::Process) {
        set_error(EINVAL);
        return WAIT_FAILED;
    }
    int err = 0;
    if (ms == INFINITE) {
        if (reap(o, true, err)) return WAIT_OBJECT_0;
        set_error(err);
        return WAIT_FAILED;
    }
    // Poll the child with a pause that grows to 10 ms: short runs end promptly, long ones cost little.
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    std::uint32_t pause = 1;
    for (;;) {
        if (reap(o, false, err)) return WAIT_OBJECT_0;
        if (err) {
            set_error(err);
            return WAIT_FAILED;
        }
        int left = poll_timeout(deadline, ms);
        if (left == 0) return WAIT_TIMEOUT;
        sleep_ms(std::min<std::uint32_t>(pause, static_cast<std::uint32_t>(left)));
        pause = std::min<std::uint32_t>(pause * 2, 10);
    }
}

// Waits for the first readable descriptor among handles of port::wrap_fd. Waiting for all is
// not supported (WAIT_FAILED, EINVAL) unless there is one handle.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
    failpoint::record_wait("WaitForMultipleObjects", ms);
    if (auto r = failpoint::hit("WaitForMultipleObjects")) return static_cast<DWORD>(*r);
    if (count == 0 || count > 64 || handles == nullptr || (waitAll && count > 1)) {
        set_error(EINVAL);
        return WAIT_FAILED;
    }
    return wait_fds(count, handles, ms);
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* code) {
    PortObject* o = port::detail::get(process, PortObject::Kind::Process);
    if (!o) return false;
    if (auto r = failpoint::hit("GetExitCodeProcess")) {
        set_error(port::detail::armed_error(*r));
        return false;
    }
    if (code == nullptr) {
        set_error(EINVAL);
        return false;
    }
    int err = 0;
    if (reap(o, false, err)) {
        *code = o->exitCode;
        return true;
    }
    if (err) {
        set_error(err);
        return false;
    }
    *code = STILL_ACTIVE;
    return true;
}

void Sleep(DWORD ms) {
    failpoint::record_wait("Sleep", ms);
    if (failpoint::hit("Sleep")) return;
    if (ms == INFINITE) {
        for (;;) ::pause();
    }
    sleep_ms(ms);
}

namespace port {

HANDLE wrap_fd(int fd, bool own) {
    if (fd < 0) {
        set_error(EBADF);
        return INVALID_HANDLE_VALUE;
    }
    auto* o = new PortObject;
    o->kind = PortObject::Kind::Fd;
    o->fd = fd;
    o->own = own;
    return detail::make(o);
}

int fd_of(HANDLE h) {
    PortObject* o = detail::get(h, PortObject::Kind::Fd);
    return o ? o->fd : -1;
}

}  // namespace port
