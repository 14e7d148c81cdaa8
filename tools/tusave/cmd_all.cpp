// tusave save --all: every station of the project's system configuration, each saved by a
// child process of its own (the library runs one save per process), at most --jobs at a time.
// On a terminal one progress line per station, which moves with the station's progress lines,
// otherwise a line per start and end; a summary table at the end. SIGINT or SIGTERM goes to
// every running save (each tells its project's state), no further one starts, and the table
// names the interrupted and the unstarted ones.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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
#include "diagnose.h"
#include "libqveeda/eda_status.h"
#include "output.h"
#include "recorder.h"
#include "save.h"
#include "tpfile.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_signal = 0;
void OnSignal(int sig) {
    if (!g_signal) g_signal = sig;
}

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
    int signal = 0;            // the signal that ended the save
    std::string firstError;    // the first ERR: line, or what the child wrote on stderr
    std::string notRecorded;   // the warning of a save the history database did not take
    Clock::time_point begin, end;
    std::optional<tpfile::File> tpBefore;   // the station's TP file before its save
    std::string changed = "-";              // values the save changed, counted when it ended
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
    if (o.mode != 1) j.tpBefore = tpfile::station_tp_now(o.project, j.station, o.kind == 3);
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
        // The closing progress line comes also after a failure: the end decides the bar.
        if (const int p = std::atoi(line.c_str() + 4); p < 100) j.percent = p;
    } else if (line.rfind("RESULT 0x", 0) == 0) {
        j.result = static_cast<unsigned>(std::strtoul(line.c_str() + 9, nullptr, 16));
        j.haveResult = true;
    } else if (line.rfind("ERR:", 0) == 0 || line.rfind("tusave", 0) == 0) {
        // The child's state line after a signal says more than its last ERR: line.
        if (j.firstError.empty() || line.find(": interrupted by ") != std::string::npos) j.firstError = line;
    } else if (line.rfind("WRN:", 0) == 0 && line.find(history::kNotRecorded) != std::string::npos) {
        j.notRecorded = line;
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
    if (WIFSIGNALED(status)) j.signal = WTERMSIG(status);
    else if (WIFEXITED(status) && WEXITSTATUS(status) > 128) j.signal = WEXITSTATUS(status) - 128;
    if (!j.haveResult && j.firstError.empty())
        j.firstError = j.signal ? "the save ended on signal " + std::to_string(j.signal)
                                : "the save ended without a result";
}

// Counts the values the save changed, against the TP file before it (the archive copy of the save
// before may have been overwritten by a save in the same second). Done as each save ends, while
// the others run, not all at the end.
void CountChanges(Job& j, const tusave_cli::SaveOptions& o) {
    if (j.haveResult && j.result == 0 && o.mode != 1 && j.tpBefore)
        if (auto now = tpfile::station_tp_now(o.project, j.station, o.kind == 3))
            j.changed = std::to_string(tpfile::changed_values(tpfile::diff(*j.tpBefore, *now), *j.tpBefore, *now));
    j.tpBefore.reset();
}

double Seconds(const Job& j) {
    auto end = j.done ? j.end : Clock::now();
    return j.started ? std::chrono::duration<double>(end - j.begin).count() : 0.0;
}

// A check (mode 1) that ran and found another generation.
bool Differs(const Job& j) {
    return j.firstError.find("generated from another database") != std::string::npos || j.result == 0x20234103u;
}

std::string Outcome(const Job& j, unsigned mode) {
    if (!j.done) return j.started ? "running" : g_signal ? "not started" : "waiting";
    if (!j.haveResult) return j.signal == SIGINT || j.signal == SIGTERM ? "interrupted" : "failed";
    if (j.result == 0) return mode == 1 ? "checked" : "saved";
    if (j.result == eda::kLocked) return "held by another save";
    if (mode == 1 && Differs(j)) return "differs";
    return "failed";
}

// One line per station; a failed save keeps the bar where it stopped.
void DrawBoard(const std::vector<Job>& jobs, bool redraw, unsigned mode) {
    if (redraw) std::printf("\033[%zuA", jobs.size());
    for (const Job& j : jobs) {
        const bool ok = j.done && j.haveResult && j.result == 0;
        const int percent = ok ? 100 : std::min(j.percent, 99);
        const int filled = percent * 20 / 100;
        const char* colour = !j.done ? "" : ok ? "\033[32m" : "\033[1;31m";
        std::printf("\r\033[K%-10s [%s%s] %3d%%  %s%s\033[0m\n", tusave_cli::escape(j.station).c_str(),
                    std::string(filled, '#').c_str(), std::string(20 - filled, '.').c_str(), percent, colour,
                    Outcome(j, mode).c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int tusave_cli::run_save_all(const SaveOptions& o) {
    if (!workstation_exists("tusave save --all")) return 2;
    ws::Project project;
    std::string error;
    if (!ws::load_project(o.project, o.kind == 3, project, error)) {
        tusave_cli::err("tusave save --all: " + error);
        return 1;
    }
    if (project.stations.empty()) {
        tusave_cli::err("tusave save --all: the project " + o.project + " has no station");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    unsigned jobs = o.jobs ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
    std::vector<Job> all(project.stations.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i].station = project.stations[i].name;

    const bool terminal = tusave_cli::rich_terminal();
    if (terminal) DrawBoard(all, false, o.mode);
    std::size_t next = 0, running = 0, finished = 0;
    int forwarded = 0;
    std::vector<Job*> ended;   // saves ended, their changes not yet counted
    while (finished < all.size() || !ended.empty()) {
        if (g_signal && !forwarded) {
            forwarded = g_signal;
            for (Job& j : all)
                if (j.started && !j.done) ::kill(j.pid, forwarded);
            finished += all.size() - next;   // the stations not started stay so
            next = all.size();
        }
        while (!g_signal && running < jobs && next < all.size()) {
            Job& j = all[next++];
            if (Start(j, o)) {
                ++running;
                if (!terminal) tusave_cli::out(j.station + ": started");
            } else {
                j.done = true;
                ++finished;
                if (!terminal) tusave_cli::out(j.station + ": " + j.firstError);
            }
        }
        // The next saves are started first: counting waits, they would not.
        for (Job* j : ended) CountChanges(*j, o);
        ended.clear();
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
                ended.push_back(&j);
                --running;
                ++finished;
                if (!terminal)
                    tusave_cli::out(j.station + ": " + Outcome(j, o.mode) +
                                    (j.haveResult ? tusave_cli::format(" (0x%08x)", j.result) : std::string()) +
                                    tusave_cli::format(" in %.1f s", Seconds(j)));
            }
        }
        if (terminal) DrawBoard(all, true, o.mode);
    }

    // A save the history did not take is saved all the same, but its user must know.
    for (const Job& j : all)
        if (!j.notRecorded.empty()) tusave_cli::out(j.station + ": " + j.notRecorded);
    bool anyFailed = false;
    tusave_cli::out("");
    tusave_cli::out(tusave_cli::format("%-10s  %-22s  %-10s  %8s  %7s  %s", "station", "outcome", "result", "seconds",
                                       "changed", "first error"));
    for (const Job& j : all) {
        const bool ok = j.haveResult && j.result == 0;
        anyFailed = anyFailed || !ok;
        char result[16] = "-";
        if (j.haveResult) std::snprintf(result, sizeof result, "0x%08x", j.result);
        tusave_cli::out(tusave_cli::format("%-10s  %-22s  %-10s  %8.1f  %7s  ", j.station.c_str(),
                                           Outcome(j, o.mode).c_str(), result, Seconds(j), j.changed.c_str()) +
                        (ok ? "" : j.firstError));
    }
    std::fflush(stdout);
    if (forwarded) return 128 + forwarded;
    return anyFailed ? 1 : 0;
}
