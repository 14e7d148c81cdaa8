// Directory search over "folder/NAME" patterns ('*' and '?' in NAME). The matches are read
// at FindFirstFileA and handed out sorted by name, so every run sees the same order.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "failpoint/failpoint.h"
#include "port/port_internal.h"

using port::detail::set_error;

namespace {

constexpr std::size_t kMaxEntries = 100000;

// A name pattern as fnmatch without flags reads it. The usual one, "*" and then plain text
// ("*.txt"), is a comparison of the name's end.
class NamePattern {
public:
    explicit NamePattern(std::string_view p)
        : suffix_(p.size() > 1 && p[0] == '*' && p.find_first_of("*?[\\", 1) == std::string_view::npos), p_(p) {}
    bool matches(const char* name) const {
        if (!suffix_) return ::fnmatch(p_.c_str(), name, 0) == 0;
        const std::size_t n = std::strlen(name), tail = p_.size() - 1;
        return n >= tail && std::memcmp(name + n - tail, p_.data() + 1, tail) == 0;
    }

private:
    bool suffix_;
    std::string p_;
};

bool armed(failpoint::Point p) {
    if (auto r = failpoint::hit(p)) {
        set_error(port::detail::armed_error(*r));
        return true;
    }
    return false;
}

}  // namespace

HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) {
    if (armed("FindFirstFileA")) return INVALID_HANDLE_VALUE;
    if (pattern == nullptr || data == nullptr || *pattern == '\0') {
        set_error(EINVAL);
        return INVALID_HANDLE_VALUE;
    }
    std::string p = pattern;
    auto slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    if (name.empty()) {
        set_error(EINVAL);
        return INVALID_HANDLE_VALUE;
    }
    const NamePattern wanted(name);
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        set_error(errno);
        return INVALID_HANDLE_VALUE;
    }
    auto* o = new PortObject;
    o->kind = PortObject::Kind::Find;
    // A listing that is the folder's first in a while removes its stale temporaries on the way
    // (reading on to the end when the matches fill up first): the folder is not read again
    // for them when a temporary is made in it.
    const bool scan = port::detail::stale_scan_due(dir);
    for (;;) {
        errno = 0;
        dirent* e = ::readdir(d);
        if (!e) break;
        if (scan && e->d_name[0] == '.' && port::detail::remove_if_dead_temp(d, e->d_name)) continue;
        if (o->matches.size() >= kMaxEntries) {
            if (scan) continue;
            break;
        }
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        if (!wanted.matches(e->d_name)) continue;
        std::size_t len = std::strlen(e->d_name);
        if (len >= MAX_PATH) continue;  // cannot be handed out whole
        WIN32_FIND_DATAA fd;
        std::memcpy(fd.cFileName, e->d_name, len + 1);
        // A folder or a regular file says so in its entry; a link or an entry of a file system
        // that does not say is asked (a link counts as what it leads to).
        if (e->d_type == DT_DIR || e->d_type == DT_REG) {
            fd.dwFileAttributes = e->d_type == DT_DIR ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        } else {
            struct stat st{};
            const bool dir = ::fstatat(::dirfd(d), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
            fd.dwFileAttributes = dir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        }
        o->matches.push_back(fd);
    }
    ::closedir(d);
    if (o->matches.empty()) {
        delete o;
        set_error(ENOENT);
        return INVALID_HANDLE_VALUE;
    }
    std::sort(o->matches.begin(), o->matches.end(), [](const WIN32_FIND_DATAA& a, const WIN32_FIND_DATAA& b) {
        return std::strcmp(a.cFileName, b.cFileName) < 0;
    });
    *data = o->matches[0];
    o->next = 1;
    return port::detail::make(o);
}

BOOL FindNextFileA(HANDLE h, WIN32_FIND_DATAA* data) {
    PortObject* o = port::detail::get(h, PortObject::Kind::Find);
    if (!o) return false;
    if (armed("FindNextFileA")) return false;
    if (data == nullptr) {
        set_error(EINVAL);
        return false;
    }
    if (o->next >= o->matches.size()) {
        set_error(ENOENT);
        return false;
    }
    *data = o->matches[o->next++];
    return true;
}

BOOL FindClose(HANDLE h) {
    PortObject* o = port::detail::get(h, PortObject::Kind::Find);
    if (!o) return false;
    auto fp = failpoint::hit("FindClose");
    port::detail::forget(h);
    delete o;
    if (fp) {
        set_error(port::detail::armed_error(*fp));
        return false;
    }
    return true;
}
