// fcssim: serves simulated field control stations on a UDP loopback socket.
//
//   fcssim [--home DIR] [--station DIR]... [--listen [udp:]127.0.0.1:PORT] [--scenario FILE]
//          [--record FILE]
//   fcssim set [--home DIR] --station NAME [--project P] TAG ITEM VALUE
//
// "set" changes one tuning value in the station's memory file (replaced whole, under a lock on
// the station's folder); a running fcssim watches the memory files of its stations and takes a
// changed one at once.
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
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
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
#include "core/tuning.h"
#include "libqverxgen/inst_def.h"
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

struct SetOptions {
    std::string home, station, project, tag, item, value;
};

// fcssim set: one tuning value of the station's memory file, replaced whole under an exclusive
// lock on the station's folder (two sets never lose one another's change).
int run_set(const SetOptions& o) {
    const std::string home = o.home.empty() ? ws::home() : o.home;
    const std::string dir = home + "/fcs/" + o.station;
    if (!ws::valid_name(o.station)) {
        std::fprintf(stderr, "fcssim set: \"%s\" is not a plain station name\n", o.station.c_str());
        return 2;
    }
    try {
        const fcs::Config cfg = fcs::load_config(dir);
        // The instance definitions of the station's project (default: the current project).
        if (!o.home.empty()) ::setenv("TUSAVE_HOME", home.c_str(), 1);
        ws::Workstation w;
        std::string error;
        if (!ws::load_workstation(w, error)) throw fcs::TuningError(error);
        const std::string project = o.project.empty() ? w.currentProject : o.project;
        std::string projectDir;
        if (!ws::project_dir(project, false, projectDir, error)) throw fcs::TuningError(error);
        const std::string defsPath = projectDir + "/" + o.station + "/DB/instdef.json";
        std::shared_ptr<const instdef::Definitions> defs;
        if (instdef::read(defsPath, defs, error) != instdef::kOk) throw fcs::TuningError(error);

        const int lock = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (lock < 0 || ::flock(lock, LOCK_EX) != 0) throw fcs::TuningError(dir + ": " + std::strerror(errno));
        std::vector<std::uint8_t> memory = fcs::load_config(dir).memory;   // as it is under the lock
        const fcs::TuningChange c = fcs::set_tuning_value(memory, *defs, o.tag, o.item, o.value);
        const std::string tmp = cfg.memoryPath + ".set.tmp";
        const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool ok = fd >= 0 && ::write(fd, memory.data(), memory.size()) == static_cast<ssize_t>(memory.size()) &&
                  ::fsync(fd) == 0;
        if (fd >= 0) ok = ::close(fd) == 0 && ok;
        ok = ok && ::rename(tmp.c_str(), cfg.memoryPath.c_str()) == 0;
        if (!ok) {
            const int e = errno;
            ::unlink(tmp.c_str());
            ::close(lock);
            throw fcs::TuningError(cfg.memoryPath + ": " + std::strerror(e));
        }
        ::fsync(lock);
        ::close(lock);
        std::printf("%s block %d %s %s %s: %s -> %s (%s)\n", cfg.name.c_str(), c.blockNo, o.tag.c_str(),
                    c.model.c_str(), c.label.c_str(), c.oldValue.c_str(), c.newValue.c_str(),
                    cfg.memoryPath.c_str());
        return 0;
    } catch (const fcs::ConfigError& e) {
        std::fprintf(stderr, "fcssim set: %s\n", e.what());
        return 2;
    } catch (const fcs::TuningError& e) {
        std::fprintf(stderr, "fcssim set: %s\n", e.what());
        return 2;
    }
}

// Watches the folders of the stations served for a replaced memory file.
struct MemoryWatch {
    int fd = -1;
    std::map<int, std::pair<std::uint16_t, std::string>> byWatch;   // station number, memory file name
    std::map<std::uint16_t, std::string> paths;                     // station number -> memory file
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"fcssim: simulated field control stations on a loopback socket"};
    app.set_version_flag("--version", "fcssim " TUSAVE_VERSION);
    std::string home, listen, scenarioPath, recordPath;
    std::vector<std::string> stationDirs;
    app.add_option("--home", home, "workstation folder: serve every DIR/fcs/*/station.json (default $TUSAVE_HOME)");
    app.add_option("--station", stationDirs, "serve the station of this folder (repeatable)");
    app.add_option("--listen", listen, "udp:127.0.0.1:PORT (default: workstation.json \"controlBus\"; PORT 0 = any)");
    app.add_option("--scenario", scenarioPath, "scenario file of scripted faults");
    app.add_option("--record", recordPath, "append every request frame to this file (u32 length, bytes)");
    SetOptions set;
    CLI::App* setCmd = app.add_subcommand("set", "Change a tuning value of a station, served or not, by tag and item");
    setCmd->add_option("--home", set.home, "workstation folder (default $TUSAVE_HOME)");
    setCmd->add_option("--station", set.station, "the station's name (its folder fcs/NAME)")->required();
    setCmd->add_option("--project", set.project, "project whose instance definitions name the items (default: current)");
    setCmd->add_option("TAG", set.tag, "the block's tag, e.g. PIC0001")->required();
    setCmd->add_option("ITEM", set.item, "the item label as the TP file shows it, e.g. SV, K[2], MAT[1,2]")->required();
    setCmd->add_option("VALUE", set.value, "the new value")->required();
    setCmd->footer("A running fcssim takes the change at once. Exit status 0 when set, 2 otherwise.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;   // help and version 0, every usage error 2
    }
    if (setCmd->parsed()) return run_set(set);
    // A reader that went away (fcssim ... | head -1) must not end the station with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);

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
    MemoryWatch watch;
    watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    for (const auto& dir : stationDirs) {
        try {
            fcs::Config cfg = fcs::load_config(dir);
            cfg.scenario = scenario;
            const std::filesystem::path memoryPath = cfg.memoryPath;
            const std::uint16_t number = cfg.number;
            if (watch.fd >= 0) {
                const int wd = inotify_add_watch(watch.fd, memoryPath.parent_path().c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
                if (wd >= 0) watch.byWatch[wd] = {number, memoryPath.filename().string()};
                watch.paths[number] = memoryPath.string();
            }
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
        char want[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &addr.sin_addr, want, sizeof want);
        if (errno == EADDRINUSE)
            std::fprintf(stderr,
                         "fcssim: udp:%s:%u is in use by another program: stop it, or listen elsewhere with --listen "
                         "udp:127.0.0.1:PORT (0 = any free port) and put that address into \"controlBus\" of "
                         "workstation.json\n",
                         want, ntohs(addr.sin_port));
        else
            std::fprintf(stderr, "fcssim: cannot listen on udp:%s:%u: %s\n", want, ntohs(addr.sin_port),
                         std::strerror(errno));
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
        // Asleep until the next delayed reply is due, to the nanosecond: a wait cut to whole
        // milliseconds would wake early and spin through the rest of the last one.
        timespec wait{};
        const timespec* timeout = nullptr;
        if (!later.empty()) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(later.front().due - Clock::now()).count();
            const long long left = std::clamp<long long>(ns, 0, 600'000'000'000LL);
            wait.tv_sec = static_cast<time_t>(left / 1'000'000'000);
            wait.tv_nsec = static_cast<long>(left % 1'000'000'000);
            timeout = &wait;
        }
        pollfd fds[3] = {{sock, POLLIN, 0}, {sfd, POLLIN, 0}, {watch.fd, POLLIN, 0}};
        int n = ppoll(fds, watch.fd >= 0 ? 3 : 2, timeout, nullptr);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "fcssim: poll: %s\n", std::strerror(errno));
            break;
        }
        if (n > 0 && (fds[1].revents & POLLIN)) break;
        if (n > 0 && watch.fd >= 0 && (fds[2].revents & POLLIN)) {
            // A memory file replaced or rewritten: the station takes its values from now on.
            alignas(inotify_event) char ev[4096];
            ssize_t len;
            while ((len = read(watch.fd, ev, sizeof ev)) > 0)
                for (char* p = ev; p < ev + len; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len) {
                    const auto* e = reinterpret_cast<inotify_event*>(p);
                    auto w = watch.byWatch.find(e->wd);
                    if (w == watch.byWatch.end() || e->len == 0 || w->second.second != e->name) continue;
                    auto st = stations.find(w->second.first);
                    if (st == stations.end()) continue;
                    std::ifstream in(watch.paths[w->second.first], std::ios::binary);
                    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
                    if (auto why = st->second.replace_memory(std::move(bytes)))
                        std::fprintf(stderr, "fcssim: %s: the changed memory file is not taken: %s\n",
                                     st->second.name().c_str(), why->c_str());
                    else
                        std::printf("fcssim: %s: memory file changed, its values taken\n", st->second.name().c_str());
                    std::fflush(stdout);
                }
        }
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
