// The port's handle objects and the registry of live handles, shared by its source units.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "port.h"

// A folder held open while files of it are open to be replaced: their opens, temporaries and
// renames name the entry in it, and the kernel does not walk the whole path again for each.
struct PortFolder {
    int fd = -1;
    ~PortFolder() {
        if (fd >= 0) ::close(fd);
    }
};

struct PortObject {
    enum class Kind { File, Find, Process, Fd };
    Kind kind = Kind::File;

    // File: fd is the descriptor the handle reads and writes. Share-mode locks are flock
    // locks on lockFd (the same descriptor for a plain open; the target for replace-on-close).
    int fd = -1;
    int lockFd = -1;
    bool replaceOnClose = false;
    bool poisoned = false;         // a failed or short write: close discards the temporary
    bool abandoned = false;        // PortAbandonFile: close discards the temporary and succeeds
    int poisonError = 0;
    std::string target;            // replace-on-close: the file renamed over at close
    std::string temp;              // replace-on-close: the temporary being written
    static constexpr std::uint64_t kNoTarget = ~std::uint64_t{0};
    std::uint64_t targetSize = kNoTarget;  // replace-on-close: the target's size at the open
    dev_t dev = 0;                 // replace-on-close: the temporary's file system
    std::shared_ptr<const PortFolder> folder;  // replace-on-close: the folder of both, if open

    // Find: the sorted matches and the next one to hand out.
    std::vector<WIN32_FIND_DATAA> matches;
    std::size_t next = 0;

    // Process.
    pid_t pid = -1;
    bool reaped = false;
    DWORD exitCode = 0;

    // Fd (wrap_fd): the descriptor is fd; own closes it with the handle.
    bool own = false;
};

namespace port::detail {

HANDLE make(PortObject* o);
// The live handle of that kind, else null with GetLastError() = EBADF.
PortObject* get(HANDLE h, PortObject::Kind kind);
PortObject* get_any(HANDLE h);
// Removes the handle from the registry; the caller then releases it.
bool forget(HANDLE h);

void set_error(int e);
// The armed result of the failpoint as an error code for GetLastError (never 0).
int armed_error(long long r);

BOOL close_process(PortObject* o);

// Whether the folder's stale temporaries are due for removal: once per folder and process
// in a while, not at every file (a group of thousands of files in a few folders would list
// each folder once per file); true marks it done. A temporary of a process that died since
// waits for the next time or the next process. The first temporary made in a folder, or the
// first listing of it, removes them.
bool stale_scan_due(const std::string& dir);
// Removes the entry of d when it is a temporary of a process that no longer exists (a name
// with one of suffixes after it counts as the temporary's); true when it was removed.
bool remove_if_dead_temp(DIR* d, const char* entry, std::span<const std::string_view> suffixes = {});

}  // namespace port::detail
