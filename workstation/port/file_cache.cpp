// File stamps of the parsed-file cache (file_cache.h).
#include "port/file_cache.h"

namespace port {

namespace {

// Longer than the time-stamp granularity of any file system the workstation folder may be on.
constexpr long long kMarginNs = 2'000'000'000LL;

long long ns(const timespec& t) { return static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec; }

}  // namespace

bool FileStamp::operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && ns(mtime) == ns(o.mtime) && ns(ctime) == ns(o.ctime);
}

bool file_stamp(const std::string& path, FileStamp& out) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    out.dev = st.st_dev;
    out.ino = st.st_ino;
    out.size = st.st_size;
    out.mtime = st.st_mtim;
    out.ctime = st.st_ctim;
    return true;
}

bool stamp_settled(const FileStamp& stamp, const timespec& when) {
    const long long limit = ns(when) - kMarginNs;
    return ns(stamp.mtime) < limit && ns(stamp.ctime) < limit;
}

timespec realtime_now() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

}  // namespace port
