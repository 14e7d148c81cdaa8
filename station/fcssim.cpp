// fcssim: serves simulated field control stations on a UDP loopback socket.
//
//   fcssim [--home DIR] [--station DIR]... [--listen [udp:]127.0.0.1:PORT] [--scenario FILE]
//          [--record FILE]
//
// Every datagram is a request frame in the transport envelope (docs/bus-transport.md); one
// without it, or damaged, is refused with a line on stderr and not answered. Frames are routed
// by the station number at offset 12; replies go back to the sender in the envelope, with the
// request's id. --record appends every request frame received to FILE as a u32 (host order)
// length and the frame's bytes, so a run can be replayed frame for frame (the benchmarks'
// floor does).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "ZclNthmi/zcl_envelope.h"
#include "config/ws_config.h"
#include "core/station.h"
#include "tusave_bytes.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kDefaultBus = "udp:127.0.0.1:47110";

struct Pending {
    Clock::time_point due;
    sockaddr_in to;
    std::vector<std::uint8_t> frame;
};

// "[udp:]HOST:PORT" with HOST a loopback address; false with the reason otherwise.
bool parse_listen(std::string s, sockaddr_in& out, std::string& error) {
    if (s.rfind("udp:", 0) == 0) s = s.substr(4);
    else if (s.find("://") != std::string::npos || s.rfind("tcp:", 0) == 0) {
        error = "only udp: addresses are served";
        return false;
    }
    auto colon = s.rfind(':');
    if (colon == std::string::npos) {
        error = "expected HOST:PORT";
        return false;
    }
    std::string host = s.substr(0, colon), port = s.substr(colon + 1);
    if (host == "localhost") host = "127.0.0.1";
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    if (inet_pton(AF_INET, host.c_str(), &out.sin_addr) != 1) {
        error = "not an IPv4 address: " + host;
        return false;
    }
    if ((ntohl(out.sin_addr.s_addr) >> 24) != 127) {
        error = "refusing to listen on a non-loopback address: " + host;
        return false;
    }
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit) || std::stoi(port) > 65535) {
        error = "bad port: " + port;
        return false;
    }
    out.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    return true;
}

std::string bus_of(const std::string& home) {
    std::ifstream in(home + "/workstation.json");
    if (!in) return kDefaultBus;
    try {
        auto j = nlohmann::json::parse(in);
        if (j.is_object() && j.contains("controlBus") && j["controlBus"].is_string()) return j["controlBus"];
    } catch (const std::exception&) {
    }
    return kDefaultBus;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"fcssim: simulated field control stations on a loopback socket"};
    std::string home, listen, scenarioPath, recordPath;
    std::vector<std::string> stationDirs;
    app.add_option("--home", home, "workstation folder: serve every DIR/fcs/*/station.json (default $TUSAVE_HOME)");
    app.add_option("--station", stationDirs, "serve the station of this folder (repeatable)");
    app.add_option("--listen", listen, "udp:127.0.0.1:PORT (default: workstation.json \"controlBus\"; PORT 0 = any)");
    app.add_option("--scenario", scenarioPath, "scenario file of scripted faults");
    app.add_option("--record", recordPath, "append every request frame to this file (u32 length, bytes)");
    CLI11_PARSE(app, argc, argv);

    const bool homeGiven = !home.empty();
    if (!homeGiven) home = ws::home();
    if (stationDirs.empty() || homeGiven) {
        std::error_code ec;
        std::vector<std::string> found;
        for (const auto& e : std::filesystem::directory_iterator(home + "/fcs", ec))
            if (std::filesystem::exists(e.path() / "station.json")) found.push_back(e.path().string());
        std::sort(found.begin(), found.end());
        stationDirs.insert(stationDirs.end(), found.begin(), found.end());
    }
    fcs::Scenario scenario;
    if (!scenarioPath.empty()) {
        std::string err;
        auto sc = fcs::Scenario::load(scenarioPath, err);
        if (!sc) {
            std::fprintf(stderr, "fcssim: %s\n", err.c_str());
            return 2;
        }
        scenario = *sc;
    }
    std::map<std::uint16_t, fcs::Station> stations;
    for (const auto& dir : stationDirs) {
        try {
            fcs::Config cfg = fcs::load_config(dir);
            cfg.scenario = scenario;
            fcs::Station st(std::move(cfg));
            std::uint16_t n = st.number();
            if (!stations.emplace(n, std::move(st)).second) {
                std::fprintf(stderr, "fcssim: two stations with number %u (%s)\n", n, dir.c_str());
                return 2;
            }
        } catch (const fcs::ConfigError& e) {
            std::fprintf(stderr, "fcssim: %s\n", e.what());
            return 2;
        }
    }
    if (stations.empty()) {
        std::fprintf(stderr, "fcssim: no station to serve (looked in %s/fcs)\n", home.c_str());
        return 2;
    }

    sockaddr_in addr{};
    std::string err;
    if (!parse_listen(listen.empty() ? bus_of(home) : listen, addr, err)) {
        std::fprintf(stderr, "fcssim: %s\n", err.c_str());
        return 2;
    }
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "fcssim: cannot bind: %s\n", std::strerror(errno));
        return 1;
    }
    socklen_t alen = sizeof addr;
    getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &alen);

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    int sfd = signalfd(-1, &mask, SFD_CLOEXEC);
    if (sfd < 0) {
        std::fprintf(stderr, "fcssim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    char ip[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    std::printf("fcssim listening on udp:%s:%u\n", ip, ntohs(addr.sin_port));
    std::fflush(stdout);

    std::FILE* record = nullptr;
    if (!recordPath.empty() && !(record = std::fopen(recordPath.c_str(), "ab"))) {
        std::fprintf(stderr, "fcssim: %s: %s\n", recordPath.c_str(), std::strerror(errno));
        return 1;
    }

    std::deque<Pending> later;  // delayed replies, in due order
    std::vector<std::uint8_t> buf(65536);
    for (;;) {
        int timeout = -1;
        if (!later.empty()) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(later.front().due - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(ms, 0, 600000));
        }
        pollfd fds[2] = {{sock, POLLIN, 0}, {sfd, POLLIN, 0}};
        int n = poll(fds, 2, timeout);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "fcssim: poll: %s\n", std::strerror(errno));
            break;
        }
        if (n > 0 && (fds[1].revents & POLLIN)) break;
        while (!later.empty() && later.front().due <= Clock::now()) {
            const Pending& p = later.front();
            sendto(sock, p.frame.data(), p.frame.size(), 0, reinterpret_cast<const sockaddr*>(&p.to), sizeof p.to);
            later.pop_front();
        }
        if (n <= 0 || !(fds[0].revents & POLLIN)) continue;
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t got = recvfrom(sock, buf.data(), buf.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &flen);
        if (got < 0) continue;
        std::uint32_t id = 0;
        std::span<const std::uint8_t> frame;
        const auto env = zcl::open(zcl::EnvKind::kRequest, std::span<const std::uint8_t>(buf.data(), static_cast<std::size_t>(got)),
                                   &id, &frame);
        if (env != zcl::EnvError::kNone) {
            char peer[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &from.sin_addr, peer, sizeof peer);
            std::fprintf(stderr, "fcssim: refused a datagram of %zd bytes from %s:%u: %s (see docs/bus-transport.md)\n",
                         got, peer, ntohs(from.sin_port), zcl::env_error_text(env));
            continue;
        }
        if (record) {
            const std::uint32_t len = static_cast<std::uint32_t>(frame.size());
            std::fwrite(&len, sizeof len, 1, record);
            std::fwrite(frame.data(), 1, frame.size(), record);
            std::fflush(record);
        }
        auto number = tb::get_u16(frame, fcs::kStationNumberOff);
        auto it = number ? stations.find(*number) : stations.end();
        if (it == stations.end()) {
            std::fprintf(stderr, "fcssim: frame of %zu bytes for no station served\n", frame.size());
            continue;
        }
        fcs::Reply r = it->second.handle(frame);
        if (r.frame.empty()) continue;
        std::uint8_t header[zcl::kEnvelopeSize];
        zcl::seal(zcl::EnvKind::kReply, id, r.frame, header);
        if (r.delayMs == 0) {
            // All copies in one call, so that a duplicate is there before the first is read.
            iovec iov[2] = {{header, sizeof header}, {r.frame.data(), r.frame.size()}};
            mmsghdr msgs[2]{};
            const unsigned n = std::min(r.copies, 2u);
            for (unsigned k = 0; k < n; ++k) {
                msgs[k].msg_hdr.msg_name = &from;
                msgs[k].msg_hdr.msg_namelen = flen;
                msgs[k].msg_hdr.msg_iov = iov;
                msgs[k].msg_hdr.msg_iovlen = 2;
            }
            sendmmsg(sock, msgs, n, 0);
        } else {
            std::vector<std::uint8_t> datagram(header, header + sizeof header);
            datagram.insert(datagram.end(), r.frame.begin(), r.frame.end());
            for (unsigned copy = 0; copy < r.copies; ++copy) {
                Pending p{Clock::now() + std::chrono::milliseconds(r.delayMs), from, datagram};
                auto pos = std::upper_bound(later.begin(), later.end(), p.due,
                                            [](Clock::time_point t, const Pending& q) { return t < q.due; });
                later.insert(pos, std::move(p));
            }
        }
    }
    if (record) std::fclose(record);
    close(sfd);
    close(sock);
    return 0;
}
