// tusave_floor: the least a save can do. It replays the request frames a save sent (as fcssim
// --record captured them), one exchange at a time, and does the save's file I/O from a plan:
// the same files read and written, with the same syncs. Its CPU and wall time are what the
// benchmarks hold a save against.
//
//   tusave_floor --device udp:127.0.0.1:PORT --frames FILE --plan FILE
//
// Plan, one step a line (tab-separated):
//   read PATH            read the whole file
//   bus                  replay every captured frame, waiting for each reply
//   replace PATH         read PATH, write it to a temporary beside it, fsync, rename, fsync the folder
//   stage PATH           read PATH, write it to a temporary beside it (made durable by commit)
//   commit               syncfs, rename every staged temporary, syncfs (a grouped replace)
//   copy FROM TO         as replace, with the bytes of FROM
//   append PATH BYTES    append BYTES bytes to PATH (a log line)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <span>
#include <vector>

#include "ZclNthmi/zcl_envelope.h"

namespace {

constexpr std::size_t kReqSessionOff = 32 + 16;  // request prefix + save header session
constexpr std::size_t kRtnSessionOff = 40 + 16;  // reply prefix + save header session
constexpr std::size_t kReqCmdOff = 32 + 2, kReqSubOff = 32 + 3;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "tusave_floor: %s\n", what.c_str());
    std::exit(1);
}

std::vector<char> slurp(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot read " + path);
    struct stat st {};
    ::fstat(fd, &st);
    std::vector<char> b(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < b.size()) {
        ssize_t n = ::read(fd, b.data() + got, b.size() - got);
        if (n <= 0) die("short read of " + path);
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return b;
}

std::string dir_of(const std::string& p) {
    auto s = p.rfind('/');
    return s == std::string::npos ? "." : s == 0 ? "/" : p.substr(0, s);
}

void write_all(int fd, const std::vector<char>& b, const std::string& what) {
    std::size_t put = 0;
    while (put < b.size()) {
        ssize_t n = ::write(fd, b.data() + put, b.size() - put);
        if (n <= 0) die("cannot write " + what);
        put += static_cast<std::size_t>(n);
    }
}

std::string write_temp(const std::string& target, const std::vector<char>& bytes, bool sync) {
    const std::string tmp = target + ".floor";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) die("cannot create " + tmp);
    write_all(fd, bytes, tmp);
    if (sync && ::fsync(fd) != 0) die("fsync " + tmp);
    ::close(fd);
    return tmp;
}

void fsync_dir(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

void replace(const std::string& target, const std::vector<char>& bytes) {
    const std::string tmp = write_temp(target, bytes, true);
    if (::rename(tmp.c_str(), target.c_str()) != 0) die("rename " + tmp);
    fsync_dir(dir_of(target));
}

// One exchange per captured frame. The session identifier the station hands out at a session
// start goes into the frames after it, as the save itself does.
void replay(const std::string& device, const std::string& framesPath) {
    const std::vector<char> all = slurp(framesPath);
    std::string hostPort = device.rfind("udp:", 0) == 0 ? device.substr(4) : device;
    auto colon = hostPort.rfind(':');
    if (colon == std::string::npos) die("bad device " + device);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::stoi(hostPort.substr(colon + 1))));
    if (inet_pton(AF_INET, hostPort.substr(0, colon).c_str(), &to.sin_addr) != 1) die("bad device " + device);
    int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0 || ::connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) die("cannot reach " + device);

    std::vector<std::uint8_t> frame, reply(65536);
    std::uint8_t session[4] = {};
    bool haveSession = false;
    std::uint32_t nextId = 1;
    std::size_t off = 0;
    while (off < all.size()) {
        std::uint32_t len = 0;
        if (all.size() - off < sizeof len) die("truncated frame file");
        std::memcpy(&len, all.data() + off, sizeof len);
        off += sizeof len;
        if (len > all.size() - off) die("truncated frame file");
        frame.assign(all.begin() + static_cast<std::ptrdiff_t>(off), all.begin() + static_cast<std::ptrdiff_t>(off + len));
        off += len;
        const bool start = frame.size() > kReqSubOff && frame[kReqCmdOff] == 0x1F && frame[kReqSubOff] == 1;
        if (haveSession && !start && frame.size() >= kReqSessionOff + 4 &&
            std::memcmp(frame.data() + kReqSessionOff, "\0\0\0\0", 4) != 0)
            std::memcpy(frame.data() + kReqSessionOff, session, 4);
        // In the transport envelope, as the bus client sends it; the reply is checked as it does.
        const std::uint32_t id = nextId++;
        std::uint8_t header[zcl::kEnvelopeSize];
        zcl::seal(zcl::EnvKind::kRequest, id, frame, header);
        iovec iov[2] = {{header, sizeof header}, {frame.data(), frame.size()}};
        msghdr m{};
        m.msg_iov = iov;
        m.msg_iovlen = 2;
        if (::sendmsg(sock, &m, 0) != static_cast<ssize_t>(sizeof header + frame.size())) die("send failed");
        pollfd p{sock, POLLIN, 0};
        if (::poll(&p, 1, 30000) != 1) die("no reply");
        ssize_t n = ::recv(sock, reply.data(), reply.size(), 0);
        if (n < 0) die("recv failed");
        std::uint32_t got = 0;
        std::span<const std::uint8_t> body;
        if (zcl::open(zcl::EnvKind::kReply, std::span<const std::uint8_t>(reply.data(), static_cast<std::size_t>(n)), &got,
                      &body) != zcl::EnvError::kNone || got != id)
            die("not the reply to the request");
        if (start && body.size() >= kRtnSessionOff + 4) {
            std::memcpy(session, body.data() + kRtnSessionOff, 4);
            haveSession = true;
        }
    }
    ::close(sock);
}

}  // namespace

int main(int argc, char** argv) {
    std::string device, frames, planPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--device") device = argv[i + 1];
        else if (a == "--frames") frames = argv[i + 1];
        else if (a == "--plan") planPath = argv[i + 1];
        else die("unknown option " + a);
    }
    if (device.empty() || frames.empty() || planPath.empty())
        die("usage: tusave_floor --device udp:HOST:PORT --frames FILE --plan FILE");
    std::ifstream plan(planPath);
    if (!plan) die("cannot read " + planPath);
    std::vector<std::pair<std::string, std::string>> staged;  // temporary, target
    std::string line;
    while (std::getline(plan, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string part; std::getline(ss, part, '\t');) f.push_back(part);
        if (f.empty()) continue;
        const std::string& op = f[0];
        if (op == "read" && f.size() == 2) {
            (void)slurp(f[1]);
        } else if (op == "bus") {
            replay(device, frames);
        } else if (op == "replace" && f.size() == 2) {
            replace(f[1], slurp(f[1]));
        } else if (op == "copy" && f.size() == 3) {
            replace(f[2], slurp(f[1]));
        } else if (op == "stage" && f.size() == 2) {
            staged.emplace_back(write_temp(f[1], slurp(f[1]), false), f[1]);
        } else if (op == "commit") {
            if (staged.empty()) continue;
            int fd = ::open(dir_of(staged.front().second).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0) ::syncfs(fd);
            for (const auto& [tmp, target] : staged)
                if (::rename(tmp.c_str(), target.c_str()) != 0) die("rename " + tmp);
            if (fd >= 0) {
                ::syncfs(fd);
                ::close(fd);
            }
            staged.clear();
        } else if (op == "append" && f.size() == 3) {
            int fd = ::open(f[1].c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0) die("cannot append to " + f[1]);
            write_all(fd, std::vector<char>(std::stoul(f[2]), 'x'), f[1]);
            ::close(fd);
        } else {
            die("bad plan line: " + line);
        }
    }
    return 0;
}
