// What the calling application registers with the port: its string resources and its
// application object (the text it passes to the automatic backup, its wait cursor).
#pragma once

#include <functional>
#include <map>
#include <string>

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

}  // namespace port
