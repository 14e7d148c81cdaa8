// What the calling application registers with the port: its string resources and its
// application object (the text it passes to the automatic backup, its wait cursor).
#pragma once

#include <sys/stat.h>
#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "port.h"

namespace port {

// Replaces the application's table of texts by resource id.
void set_string_table(std::map<unsigned, std::string> table);

struct Application {
    std::string text;                        // e.g. "tusave 0.1.0"
    std::function<void()> beginWaitCursor;   // may be empty
    std::function<void()> endWaitCursor;     // may be empty
};
void set_application(Application app);

// A waitable handle over a descriptor, signalled while the descriptor is readable. With own,
// CloseHandle also closes the descriptor.
HANDLE wrap_fd(int fd, bool own);
// The descriptor behind a handle of wrap_fd, else -1.
int fd_of(HANDLE h);

// Every file a service opens is opened through these, so that a FIFO, a device or a socket
// in place of a file is refused at once instead of blocking the open or a read:
// open_regular is ::open (close-on-exec) that never blocks and refuses anything that is not a
// regular file (a folder with EISDIR, anything else with EINVAL); O_NOFOLLOW in flags also
// refuses a final symbolic link (ELOOP). -1 with errno on failure; out (when given) gets the
// file's status. With a folder's descriptor, path is taken in that folder (as by openat).
int open_regular(const char* path, int flags, mode_t mode = 0, struct stat* out = nullptr, int folder = AT_FDCWD);
// Reads a whole regular file of at most maxSize bytes: 0, or errno (EFBIG when larger).
int read_regular(const char* path, std::string& out, std::size_t maxSize);

// Makes a folder's entries durable (a file renamed into it survives a crash): false with errno
// when the folder cannot be opened or synced; a file system that cannot sync folders is fine.
bool fsync_dir(const std::string& dir);

// A temporary's name is ".<name>.<pid>.<n>.tmp" (name not empty): the pid of the process that
// made it, else 0. A temporary whose process is gone is left over from a crash.
pid_t temp_owner(std::string_view entry);

// Removes the folder's temporaries left by processes that no longer exist (a crash before the
// rename), and the files named as one of them with one of suffixes after it; those of live
// processes, this one included, are theirs.
void remove_dead_temps(const std::string& dir, std::span<const std::string_view> suffixes = {});

// Makes the pages of a large buffer that is about to be filled present in one call, instead of
// a page fault per page on its first write (a fault costs many times more than a page made
// present in bulk). Small buffers, and kernels without the call, are left to fault as usual;
// the buffer's bytes are not changed.
void prefault(void* p, std::size_t n);

// Memory for a buffer of n bytes that is filled and worked through at once (a station's
// database image): from the heap and made present as above; from n = 2 MiB on, mapped on its
// own at a 2 MiB boundary, its whole 2 MiB stretches asked for as huge pages (far fewer page
// table entries to set up and look up than for 4 KiB pages; no more memory taken than the
// pages n covers). Null when there is no memory. Freed only with free_big and the same n.
void* alloc_big(std::size_t n);
void free_big(void* p, std::size_t n);

}  // namespace port
