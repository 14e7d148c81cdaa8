// What the whole-save benchmarks share: pinning to one CPU, CPU clocks, medians, and an fcssim
// serving a workstation on an ephemeral loopback port.
#pragma once

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace bench {

inline const std::string kBuild = TUSAVE_BUILD_DIR;

[[noreturn]] inline void die(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
    std::exit(1);
}

// The CPU the measured programs share (-1: none), and whether they are pinned to it now.
inline int g_cpu = -1;
inline bool g_pin = true;

// Pins the calling process to g_cpu; with g_pin off, frees it to run on every CPU (a process
// forked from this pinned benchmark would otherwise inherit its one CPU).
inline void pin_self() {
    if (g_cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (g_pin) CPU_SET(g_cpu, &set);
    else
        for (long c = 0, n = sysconf(_SC_NPROCESSORS_ONLN); c < n && c < CPU_SETSIZE; ++c) CPU_SET(c, &set);
    sched_setaffinity(0, sizeof set, &set);
}

inline double cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

inline std::string shell(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char b[256];
        while (fgets(b, sizeof b, p)) out += b;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Stat {
    double median = 0, min = 0;
    int n = 0;  // values (pairs) it is of
};

inline Stat stat_of(std::vector<double> v) {
    Stat s;
    s.n = static_cast<int>(v.size());
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.min = v.front();
    s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    return s;
}

// fcssim for a workstation, pinned, on an ephemeral loopback port written into the
// workstation's settings; stopped with SIGTERM when it goes out of scope.
class Fcssim {
public:
    explicit Fcssim(const std::string& home, const std::string& scenario = "", const std::string& record = "") {
        int p[2];
        if (pipe(p) != 0) die("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            pin_self();
            dup2(p[1], 1);
            close(p[0]);
            close(p[1]);
            std::vector<std::string> args{kBuild + "/station/fcssim", "--home", home, "--listen", "udp:127.0.0.1:0"};
            if (!scenario.empty()) args.insert(args.end(), {"--scenario", scenario});
            if (!record.empty()) args.insert(args.end(), {"--record", record});
            std::vector<char*> a;
            for (auto& s : args) a.push_back(s.data());
            a.push_back(nullptr);
            execv(a[0], a.data());
            _exit(127);
        }
        close(p[1]);
        std::string line;
        pollfd pf{p[0], POLLIN, 0};
        char c;
        while (line.find('\n') == std::string::npos && poll(&pf, 1, 20000) == 1 && read(p[0], &c, 1) == 1) line += c;
        close(p[0]);
        const std::string key = "listening on ";
        const auto at = line.find(key);
        if (at == std::string::npos) die("fcssim did not start");
        device_ = line.substr(at + key.size());
        while (!device_.empty() && (device_.back() == '\n' || device_.back() == '\r')) device_.pop_back();
        const std::string wsPath = home + "/workstation.json";
        nlohmann::json ws = nlohmann::json::parse(slurp(wsPath));
        ws["controlBus"] = device_;
        std::ofstream(wsPath, std::ios::trunc) << ws.dump(2);
        // The services trust a settings file's stamp only once it is 2 s old and read a newer
        // one again at every call; a workstation in use has settled settings, so the runs
        // start when these have.
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    }
    Fcssim(const Fcssim&) = delete;
    Fcssim& operator=(const Fcssim&) = delete;
    ~Fcssim() {
        kill(pid_, SIGTERM);
        int st;
        waitpid(pid_, &st, 0);
    }
    const std::string& device() const { return device_; }
    // user + system CPU so far, s (clock-tick resolution)
    double cpu() const {
        const std::string s = slurp("/proc/" + std::to_string(pid_) + "/stat");
        const auto rp = s.rfind(')');
        if (rp == std::string::npos) return 0;
        std::istringstream is(s.substr(rp + 2));
        std::string f;
        double ut = 0, stt = 0;
        for (int i = 3; i <= 15 && is >> f; ++i) {
            if (i == 14) ut = std::stod(f);
            if (i == 15) stt = std::stod(f);
        }
        return (ut + stt) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

private:
    pid_t pid_ = -1;
    std::string device_;
};

}  // namespace bench
