// History log, error log, time and the workstation's top folder.
//
// Logs are text files under $TUSAVE_HOME/log, one line per entry, fields separated by TAB:
//   history.log  "YYYY/MM/DD HH:MM:SS<TAB>project<TAB>station<TAB>text1<TAB>text2<TAB>text3"
//   error.log    "YYYY/MM/DD HH:MM:SS<TAB>project<TAB>source<TAB>line"
// Each line is one write to a descriptor opened with O_APPEND, so entries of concurrent
// processes never interleave. TAB, CR and LF inside a field become blanks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "LibQVCCommon.h"
#include "LibQVCCommon/qvccommon_host.h"
#include "config/ws_config.h"
#include "libqvecommon/qvecommon_host.h"
#include "port/port_host.h"

namespace {

std::mutex g_mu;
std::string g_project;
std::string g_station;

std::string field(const char* s) {
    std::string out = s ? s : "";
    for (char& c : out)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return out;
}

std::string stamp() {
    std::time_t t = QVCTime(nullptr);
    struct tm tm{};
    char buf[64];
    if (!::localtime_r(&t, &tm) || std::strftime(buf, sizeof buf, "%Y/%m/%d %H:%M:%S", &tm) == 0) return "?";
    return buf;
}

bool make_dirs(const std::string& dir) {
    std::string cur;
    std::size_t i = 0;
    while (i <= dir.size()) {
        std::size_t j = dir.find('/', i);
        if (j == std::string::npos) j = dir.size();
        cur = dir.substr(0, j);
        if (!cur.empty() && ::mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST) return false;
        i = j + 1;
    }
    return true;
}

// The logs have no caller to report to: a failure goes to the note sink and the entry is lost.
bool append_line(const char* file, const std::string& line) {
    const std::string dir = ws::home() + "/log";
    const std::string path = dir + "/" + file;
    if (!make_dirs(dir)) {
        ws::note("cannot create " + dir + ": " + std::strerror(errno));
        return false;
    }
    int fd = port::open_regular(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fd < 0) {
        ws::note("cannot open " + path + ": " + std::strerror(errno));
        return false;
    }
    ssize_t n;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    const bool ok = n == static_cast<ssize_t>(line.size());
    if (!ok)
        ws::note("cannot write " + path + ": " + (n < 0 ? std::strerror(errno) : "short write"));
    ::close(fd);
    return ok;
}

}  // namespace

bool ws::append_log(const char* file, const std::vector<std::string>& fields) {
    std::string line = stamp();
    for (const std::string& f : fields) line += "\t" + field(f.c_str());
    return append_line(file, line + "\n");
}

void QVCInitHistoryLog(const char* project, const char* station, void*) {
    std::lock_guard lk(g_mu);
    g_project = field(project);
    g_station = field(station);
}

void QVCPutHistoryLogLoad(const char* text1, const char* text2, const char* text3) {
    std::string line = stamp();
    {
        std::lock_guard lk(g_mu);
        line += "\t" + g_project + "\t" + g_station;
    }
    line += "\t" + field(text1) + "\t" + field(text2) + "\t" + field(text3) + "\n";
    append_line("history.log", line);
}

void _QVCPutErrorLog(const char* project, const char* source, int line) {
    append_line("error.log", stamp() + "\t" + field(project) + "\t" + field(source) + "\t" + std::to_string(line) + "\n");
}

// TUSAVE_FIXED_TIME=<seconds since 1970> fixes the clock, for reproducible runs; a value that
// is not a whole number of seconds is ignored.
std::time_t QVCTime(std::time_t* out) {
    std::time_t t = std::time(nullptr);
    if (const char* f = std::getenv("TUSAVE_FIXED_TIME"); f && *f) {
        long long v = 0;
        auto [p, ec] = std::from_chars(f, f + std::strlen(f), v);
        if (ec == std::errc() && *p == '\0' && v >= 0) t = static_cast<std::time_t>(v);
    }
    if (out) *out = t;
    return t;
}

struct tm* QVCLocaltime(const std::time_t* t) {
    thread_local struct tm tm;
    if (t == nullptr) return nullptr;
    return ::localtime_r(t, &tm);
}

char* QVCCtime(const std::time_t* t) {
    thread_local char buf[64];
    struct tm* tm = QVCLocaltime(t);
    if (!tm || std::strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y\n", tm) == 0) return nullptr;
    return buf;
}

std::uint32_t QVCGetQVTopDir(char* dir, int size) {
    if (dir == nullptr || size <= 0) return EINVAL;
    const std::string h = ws::home();
    if (h.size() >= static_cast<std::size_t>(size)) return ENAMETOOLONG;
    std::memcpy(dir, h.c_str(), h.size() + 1);
    return 0;
}

std::uint32_t QVCCatDir(char* dir, const char* part, int size) {
    if (dir == nullptr || part == nullptr || size <= 0) return EINVAL;
    const std::size_t cap = static_cast<std::size_t>(size);
    const std::size_t len = ::strnlen(dir, cap);
    if (len == cap) return EINVAL;  // dir is not a text within size
    while (*part == '/') ++part;
    const std::size_t plen = std::strlen(part);
    if (plen == 0) return 0;
    const bool sep = len > 0 && dir[len - 1] != '/';
    const std::size_t need = len + (sep ? 1 : 0) + plen;
    if (need >= cap) return ENAMETOOLONG;
    if (sep) dir[len] = '/';
    std::memcpy(dir + len + (sep ? 1 : 0), part, plen + 1);
    return 0;
}
