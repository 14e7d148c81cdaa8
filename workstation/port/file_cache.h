// What a service parsed from a file, kept for the next call while the file is unchanged: the
// workstation settings, the system configuration and the instance definitions are read again
// by every save step that needs them, and parsing them costs far more than asking the file
// system whether they changed.
//
// A file counts as unchanged when stat gives the same device, inode, size, modification and
// change time as when its text was last read. Because a time stamp has a granularity, that is
// trusted only for a file whose both times lie well before that read (as "racily clean" index
// entries are treated elsewhere): a file changed in the same tick as the read would show the
// same stamp. A file with recent times is read again and its text compared with the kept one,
// so that parsing is still saved, never a change missed.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "port/port_host.h"

namespace port {

struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
    bool operator==(const FileStamp& o) const;
};

// The stamp of the file at path (stat, following links); false when there is none.
bool file_stamp(const std::string& path, FileStamp& out);
// Whether both times of stamp lie more than the time-stamp margin before when.
bool stamp_settled(const FileStamp& stamp, const timespec& when);
timespec realtime_now();

template <class T>
class FileCache {
public:
    // parse(text, value) builds the value of a file's text, false when the text is malformed
    // (the reason is the parser's to keep).
    using Parse = std::function<bool(const std::string& text, T& value)>;

    // The value of the file at path: 0 and *value; an errno of read_regular (the file could
    // not be read, EFBIG when larger than maxSize); or -1 when parse refused the text.
    int get(const std::string& path, std::size_t maxSize, const Parse& parse, std::shared_ptr<const T>& value) {
        FileStamp stamp;
        const bool stamped = file_stamp(path, stamp);
        if (stamped) {
            std::lock_guard lk(mu_);
            auto it = entries_.find(path);
            if (it != entries_.end() && it->second.stamp == stamp && stamp_settled(stamp, it->second.read)) {
                value = it->second.value;
                return 0;
            }
        }
        const timespec readAt = realtime_now();
        std::string text;
        if (const int e = read_regular(path.c_str(), text, maxSize)) {
            std::lock_guard lk(mu_);
            entries_.erase(path);
            return e;
        }
        {
            std::lock_guard lk(mu_);
            auto it = entries_.find(path);
            if (it != entries_.end() && it->second.text == text) {
                if (stamped) it->second.stamp = stamp;
                it->second.read = readAt;
                value = it->second.value;
                return 0;
            }
        }
        auto fresh = std::make_shared<T>();
        if (!parse(text, *fresh)) {
            std::lock_guard lk(mu_);
            entries_.erase(path);
            return -1;
        }
        value = fresh;
        std::lock_guard lk(mu_);
        if (!stamped) return 0;
        if (entries_.size() >= kMaxEntries) entries_.clear();
        entries_[path] = Entry{stamp, readAt, std::move(text), std::move(fresh)};
        return 0;
    }

private:
    static constexpr std::size_t kMaxEntries = 64;
    struct Entry {
        FileStamp stamp;
        timespec read;   // when the text was last read (before the read began)
        std::string text;
        std::shared_ptr<const T> value;
    };
    std::mutex mu_;
    std::map<std::string, Entry> entries_;
};

}  // namespace port
