// The host side of the generation lock: what a calling application may show about it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace eda {

// The process id written into the station's lock file by its current (or last) holder;
// "" when the file is missing or names no process.
std::string gen_lock_holder(const std::string& project, const std::string& station);

}  // namespace eda

namespace eda {

// The station's generation lock held by a calling application that runs no save of the station
// itself but must keep every save of it away meanwhile (a drift check). Taken as a save takes
// it (a save beside it is refused and names this process), and given back leaving the lock
// file as it was found: its text and its modification time (a file made for it stays, empty).
class HeldGenLock {
public:
    // kOk with the lock in out, else the lock service's code (kLocked: another process holds
    // it) with the reason in error.
    static std::uint32_t take(const std::string& project, const std::string& station,
                              std::unique_ptr<HeldGenLock>& out, std::string& error);
    HeldGenLock(const HeldGenLock&) = delete;
    HeldGenLock& operator=(const HeldGenLock&) = delete;
    ~HeldGenLock();   // gives the lock back

private:
    HeldGenLock() = default;
    int fd_ = -1;
    std::string text_;          // the file's text before
    struct timespec times_[2] {};   // its access and modification times before
    bool made_ = false;         // the file was made for this lock
};

}  // namespace eda
