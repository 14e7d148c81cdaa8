// The port's handle objects and the registry of live handles, shared by its source units.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "port.h"

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

}  // namespace port::detail
