// tusave save --all: every station of the project's system configuration, each saved by a
// child process of its own (the library runs one save per process), at most --jobs at a time.
// On a terminal one progress line per station, otherwise a line per start and end; a summary
// table at the end.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/ws_config.h"
#include "libqveeda/eda_status.h"
#include "save.h"
#include "tpfile.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Job {
    std::string station;
    pid_t pid = -1;
    int out = -1;              // the child's standard output and error
    std::string pending;       // a line not yet ended
    int percent = 0;
    bool started = false;
    bool done = false;
    bool haveResult = false;
    unsigned result = 0;
    std::string firstError;    // the first ERR: line, or what the child wrote on stderr
    Clock::time_point begin, end;
};

std::vector<std::string> ChildArgs(const tusave_cli::SaveOptions& o, const std::string& station) {
    std::vector<std::string> a{"tusave", "save", "--raw", "--project", o.project, "--station", station,
                               "--kind", std::to_string(o.kind), "--mode", std::to_string(o.mode),
                               "--value", std::to_string(o.value)};
    if (!o.parm1.empty()) a.insert(a.end(), {"--parm1", o.parm1});
    if (!o.parm2.empty()) a.insert(a.end(), {"--parm2", o.parm2});
    if (!o.reason.empty()) a.insert(a.end(), {"--reason", o.reason});
    return a;
}

bool Start(Job& j, const tusave_cli::SaveOptions& o) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> args = ChildArgs(o, j.station);
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&j.pid, "/proc/self/exe", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        j.firstError = std::string("cannot start a save: ") + std::strerror(rc);
        return false;
    }
    j.out = fds[0];
    j.started = true;
    j.begin = Clock::now();
    return true;
}

void TakeLine(Job& j, const std::string& line) {
    if (line.rfind("PRG:", 0) == 0) {
        j.percent = std::atoi(line.c_str() + 4);
    } else if (line.rfind("RESULT 0x", 0) == 0) {
        j.result = static_cast<unsigned>(std::strtoul(line.c_str() + 9, nullptr, 16));
        j.haveResult = true;
    } else if (j.firstError.empty() && (line.rfind("ERR:", 0) == 0 || line.rfind("tusave", 0) == 0)) {
        j.firstError = line;
    }
}

// Reads what the child wrote; at its end reaps it.
void Drain(Job& j) {
    char buf[4096];
    ssize_t n = ::read(j.out, buf, sizeof buf);
    if (n < 0 && errno == EINTR) return;
    if (n > 0) {
        j.pending.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = j.pending.find('\n')) != std::string::npos) {
            TakeLine(j, j.pending.substr(0, nl));
            j.pending.erase(0, nl + 1);
        }
        return;
    }
    if (!j.pending.empty()) TakeLine(j, j.pending);
    ::close(j.out);
    j.out = -1;
    int status = 0;
    while (::waitpid(j.pid, &status, 0) < 0 && errno == EINTR) {
    }
    j.done = true;
    j.end = Clock::now();
    if (!j.haveResult && j.firstError.empty())
        j.firstError = WIFSIGNALED(status) ? "the save ended on signal " + std::to_string(WTERMSIG(status))
                                           : "the save ended without a result";
}

double Seconds(const Job& j) {
    auto end = j.done ? j.end : Clock::now();
    return j.started ? std::chrono::duration<double>(end - j.begin).count() : 0.0;
}

std::string Outcome(const Job& j) {
    if (!j.done) return j.started ? "running" : "waiting";
    if (!j.haveResult) return "failed";
    if (j.result == 0) return "saved";
    if (j.result == eda::kLocked) return "held by another save";
    return "failed";
}

void DrawBoard(const std::vector<Job>& jobs, bool redraw) {
    if (redraw) std::printf("\033[%zuA", jobs.size());
    for (const Job& j : jobs) {
        const int filled = (j.done ? 100 : j.percent) * 20 / 100;
        const char* colour = !j.done ? "" : (j.haveResult && j.result == 0) ? "\033[32m" : "\033[1;31m";
        std::printf("\r\033[K%-10s [%s%s] %3d%%  %s%s\033[0m\n", j.station.c_str(), std::string(filled, '#').c_str(),
                    std::string(20 - filled, '.').c_str(), j.done ? 100 : j.percent, colour, Outcome(j).c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int tusave_cli::run_save_all(const SaveOptions& o) {
    ws::Project project;
    std::string error;
    if (!ws::load_project(o.project, o.kind == 3, project, error)) {
        std::fprintf(stderr, "tusave save --all: %s\n", error.c_str());
        return 1;
    }
    if (project.stations.empty()) {
        std::fprintf(stderr, "tusave save --all: the project %s has no station\n", o.project.c_str());
        return 1;
    }
    unsigned jobs = o.jobs ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
    std::vector<Job> all(project.stations.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i].station = project.stations[i].name;

    const bool terminal = isatty(STDOUT_FILENO);
    if (terminal) DrawBoard(all, false);
    std::size_t next = 0, running = 0, finished = 0;
    while (finished < all.size()) {
        while (running < jobs && next < all.size()) {
            Job& j = all[next++];
            if (Start(j, o)) {
                ++running;
                if (!terminal) std::printf("%s: started\n", j.station.c_str());
            } else {
                j.done = true;
                ++finished;
                if (!terminal) std::printf("%s: %s\n", j.station.c_str(), j.firstError.c_str());
            }
        }
        std::vector<pollfd> fds;
        std::vector<Job*> owners;
        for (Job& j : all)
            if (j.out >= 0) {
                fds.push_back({j.out, POLLIN, 0});
                owners.push_back(&j);
            }
        if (fds.empty()) continue;
        if (::poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) break;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Job& j = *owners[i];
            Drain(j);
            if (j.done) {
                --running;
                ++finished;
                if (!terminal)
                    std::printf("%s: %s (0x%08x) in %.1f s\n", j.station.c_str(), Outcome(j).c_str(), j.result,
                                Seconds(j));
            }
        }
        if (terminal) DrawBoard(all, true);
    }

    bool anyFailed = false;
    std::printf("\n%-10s  %-22s  %-10s  %8s  %7s  %s\n", "station", "outcome", "result", "seconds", "changed",
                "first error");
    for (const Job& j : all) {
        const bool ok = j.haveResult && j.result == 0;
        anyFailed = anyFailed || !ok;
        char result[16] = "-";
        if (j.haveResult) std::snprintf(result, sizeof result, "0x%08x", j.result);
        // Values the save changed, against the archive copy of the save before it.
        std::string changed = "-";
        if (ok)
            if (auto n = tpfile::values_changed_by_last_save(o.project, j.station)) changed = std::to_string(*n);
        std::printf("%-10s  %-22s  %-10s  %8.1f  %7s  %s\n", j.station.c_str(), Outcome(j).c_str(), result, Seconds(j),
                    changed.c_str(), ok ? "" : j.firstError.c_str());
    }
    std::fflush(stdout);
    return anyFailed ? 1 : 0;
}
