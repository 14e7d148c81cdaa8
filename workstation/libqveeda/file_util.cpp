#include "libqveeda/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "libqveeda/eda_status.h"
#include "port/port_host.h"

namespace eda {
namespace {

std::uint32_t io_fail(const std::string& what, const std::string& path) {
    return fail(kIo, what + " " + path + ": " + std::strerror(errno));
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

}  // namespace

std::uint32_t make_dirs(const std::string& dir) {
    std::size_t pos = 0;
    while (pos <= dir.size()) {
        std::size_t slash = dir.find('/', pos);
        if (slash == std::string::npos) slash = dir.size();
        const std::string cur = dir.substr(0, slash);
        pos = slash + 1;
        if (cur.empty()) continue;
        if (::mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST) return io_fail("cannot create", cur);
    }
    return kOk;
}

std::uint32_t append_line(const std::string& path, const std::string& line) {
    if (const auto slash = path.rfind('/'); slash != std::string::npos && slash > 0)
        if (auto r = make_dirs(path.substr(0, slash))) return r;
    Fd f;
    f.fd = port::open_regular(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (f.fd < 0) return io_fail("cannot open", path);
    const std::string text = line + "\n";
    const ssize_t w = ::write(f.fd, text.data(), text.size());
    if (w != static_cast<ssize_t>(text.size())) return io_fail("cannot write", path);
    return kOk;
}

namespace {

// Makes the written temporary tmp (open as out) durable and renames it over to; on failure
// the temporary is removed and to is left as it was.
std::uint32_t replace_with(Fd& out, const std::string& tmp, const std::string& to) {
    if (::fsync(out.fd) != 0 || ::close(out.fd) != 0) {
        out.fd = -1;
        const auto r = io_fail("cannot write", tmp);
        ::unlink(tmp.c_str());
        return r;
    }
    out.fd = -1;
    if (::rename(tmp.c_str(), to.c_str()) != 0) {
        const auto r = io_fail("cannot rename to", to);
        ::unlink(tmp.c_str());
        return r;
    }
    const std::string dir = to.substr(0, to.rfind('/'));
    Fd d;
    d.fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d.fd >= 0) ::fsync(d.fd);
    return kOk;
}

}  // namespace

std::uint32_t copy_file(const std::string& from, const std::string& to) {
    Fd in;
    in.fd = port::open_regular(from.c_str(), O_RDONLY);
    if (in.fd < 0) return io_fail("cannot open", from);
    const std::string tmp = to + ".tmp";
    Fd out;
    out.fd = port::open_regular(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out.fd < 0) return io_fail("cannot create", tmp);
    std::vector<char> buf(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in.fd, buf.data(), buf.size());
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const auto r = io_fail("cannot read", from);
            ::unlink(tmp.c_str());
            return r;
        }
        if (!write_all(out.fd, buf.data(), static_cast<std::size_t>(n))) {
            const auto r = io_fail("cannot write", tmp);
            ::unlink(tmp.c_str());
            return r;
        }
    }
    return replace_with(out, tmp, to);
}

std::uint32_t write_file(const std::string& to, const std::string& data) {
    const std::string tmp = to + ".tmp";
    Fd out;
    out.fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out.fd < 0) return io_fail("cannot create", tmp);
    if (!write_all(out.fd, data.data(), data.size())) {
        const auto r = io_fail("cannot write", tmp);
        ::unlink(tmp.c_str());
        return r;
    }
    return replace_with(out, tmp, to);
}

std::string local_time(std::time_t t, bool compact) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, compact ? "%Y%m%d%H%M%S" : "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string one_line(const std::string& text) {
    std::string s = text;
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return s;
}

}  // namespace eda
