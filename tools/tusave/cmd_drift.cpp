// tusave drift: whether a running station holds tuning values that its project does not.
//
// The station's values are read exactly as a save reads them: the library's save runs, in a
// child process, into a scratch workstation (its own workstation.json, lock, log and backup
// folders) holding copies of what the save reads of the project: the system folder and the
// station's folder. Meanwhile this process holds the station's real generation lock, so that no
// save of the station runs beside the check, and gives it back leaving the lock file as it was.
// The TP file the scratch save wrote is then compared with the project's. Nothing of the real
// project or workstation changes but the check's row in the history database. --all checks
// every station of the project, each in a process of its own.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LibQVCCommon.h"
#include "commands.h"
#include "config/ws_config.h"
#include "diagnose.h"
#include "failpoint/failpoint.h"
#include "history.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqveeda/eda_status.h"
#include "libqveldtusave.h"
#include "libqverxeda/gen_lock.h"
#include "output.h"
#include "port/port_host.h"
#include "recorder.h"
#include "report.h"
#include "save.h"
#include "tpfile.h"
#include "tusave_host.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

struct DriftOptions {
    std::string project;
    std::string station;
    bool all = false;
    unsigned jobs = 0;
    bool json = false;
};

volatile sig_atomic_t g_signal = 0;
void OnSignal(int sig) {
    if (!g_signal) g_signal = sig;
}

void CatchSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

const char* SignalName(int sig) { return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "a signal"; }

// A folder removed with everything in it when the check ends, however it ends.
class Scratch {
public:
    bool make(std::string& error) {
        const char* tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/tusave-drift-XXXXXX";
        if (!::mkdtemp(tmpl.data())) {
            error = "cannot make a scratch folder " + tmpl + ": " + std::strerror(errno);
            return false;
        }
        dir_ = tmpl;
        return true;
    }
    ~Scratch() {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};

// Copies folder from into to, with its links as links; anything but files, folders and links
// (a FIFO, a socket) is left out.
bool CopyTree(const fs::path& from, const fs::path& to, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(from, ec)) return true;   // not there: the save says what it misses
    fs::create_directories(to, ec);
    for (fs::recursive_directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path target = to / fs::relative(it->path(), from, ec);
        if (ec) break;
        const fs::file_status st = it->symlink_status(ec);
        if (ec) break;
        if (fs::is_symlink(st)) fs::copy_symlink(it->path(), target, ec);
        else if (fs::is_directory(st)) fs::create_directories(target, ec);
        else if (fs::is_regular_file(st)) fs::copy_file(it->path(), target, ec);
        if (ec) break;
    }
    if (ec) error = "cannot copy " + from.string() + " into the scratch folder: " + ec.message();
    return !ec;
}

// What the save reads, copied into a scratch workstation: its settings (with the folders it
// writes, projects and backups, inside the scratch folder), the backup tool, the project's
// system folder and the station's folder.
bool BuildScratch(const std::string& scratch, const DriftOptions& o, const std::string& projectDir,
                  std::string& error) {
    ws::Workstation w;
    if (!ws::load_workstation(w, error)) return false;
    Json j;
    // The workstation's own current project: a save of another project's station is refused
    // unless that station is under test, and so is this read.
    j["currentProject"] = w.currentProject;
    j["projectsDir"] = "projects";
    j["controlBus"] = w.busDevice;
    j["vrecTest"] = w.vrecTest;
    j["backupDir"] = "backup";
    std::ofstream(scratch + "/workstation.json") << j.dump(2) << "\n";
    const std::string home = ws::home();
    std::error_code ec;
    if (fs::exists(home + "/FCS/tool", ec)) {
        fs::create_directories(scratch + "/FCS", ec);
        fs::create_directory_symlink(fs::absolute(home + "/FCS/tool", ec), scratch + "/FCS/tool", ec);
        if (ec) {
            error = "cannot link the backup tool into the scratch folder: " + ec.message();
            return false;
        }
    }
    const std::string to = scratch + "/projects/" + o.project;
    return CopyTree(projectDir + "/SYSTEM", to + "/SYSTEM", error) &&
           CopyTree(projectDir + "/" + o.station, to + "/" + o.station, error);
}

// The save into the scratch workstation, in a child process (the library runs one save per
// process, and its module state must not outlive it). Its message lines and then
// "RESULT 0x%08x" come back through a pipe.
struct ScratchRun {
    std::uint32_t result = 0;
    bool haveResult = false;
    int signal = 0;
    std::vector<std::string> errLines, notes;
};

ScratchRun RunScratchSave(const DriftOptions& o, const std::string& scratch) {
    ScratchRun r;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        r.notes.push_back(std::string("cannot make a pipe: ") + std::strerror(errno));
        return r;
    }
    std::fflush(nullptr);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        r.notes.push_back(std::string("cannot start the read: ") + std::strerror(errno));
        return r;
    }
    if (child == 0) {
        // The read dies with this process: a killed drift check leaves nothing running that
        // holds the station's lock.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) _exit(128 + SIGKILL);
        ::close(fds[0]);
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        const int out = fds[1];
        auto send = [out](const std::string& line) {
            const std::string s = line + "\n";
            for (std::size_t done = 0; done < s.size();) {
                const ssize_t n = ::write(out, s.data() + done, s.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return;
                done += static_cast<std::size_t>(n);
            }
        };
        ::setenv("TUSAVE_HOME", scratch.c_str(), 1);
        std::string error;
        if (!failpoint::arm_from_env(&error)) {
            send("NOTE:TUSAVE_FAILPOINTS: " + error);
            _exit(2);
        }
        tusave_host_use_default_texts();
        port::set_application({"tusave " TUSAVE_VERSION, {}, {}});
        ws::set_note_sink([&send](const char* text) { send(std::string("NOTE:") + (text ? text : "")); });
        ws::set_message_sink([&send](const char* text) -> std::uint32_t {
            send(text ? text : "");
            return 0;
        });
        const unsigned result = QVELdFcsTuningParmSave("", "", o.project.c_str(), o.station.c_str(), 2, 0, 0);
        send(tusave_cli::format("RESULT 0x%08x", result));
        std::fflush(nullptr);
        _exit(0);
    }
    ::close(fds[1]);
    std::string pending;
    char buf[4096];
    int forwarded = 0;
    for (;;) {
        if (g_signal && !forwarded) {
            forwarded = g_signal;
            ::kill(child, forwarded);
        }
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
            const std::string line = pending.substr(0, nl);
            if (line.rfind("ERR:", 0) == 0) r.errLines.push_back(line);
            else if (line.rfind("NOTE:", 0) == 0) r.notes.push_back(line.substr(5));
            else if (line.rfind("RESULT 0x", 0) == 0) {
                r.result = static_cast<std::uint32_t>(std::strtoul(line.c_str() + 9, nullptr, 16));
                r.haveResult = true;
            }
        }
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    if (forwarded && !r.signal) r.signal = forwarded;
    if (r.signal) r.haveResult = false;
    return r;
}

// A path of the scratch project as the real project's, so that lines name the user's files.
std::string Unscratch(std::string line, const std::string& scratchProject, const std::string& projectDir) {
    for (std::size_t at; (at = line.find(scratchProject)) != std::string::npos;)
        line.replace(at, scratchProject.size(), projectDir);
    return line;
}

// Records the check; a database that cannot be written leaves the check's answer as it is.
void Record(const DriftOptions& o, history::DriftCheck c, const std::vector<tpfile::Change>& changes) {
    c.station = o.station;
    c.kind = 2;
    c.ended = history::moment(static_cast<std::int64_t>(QVCTime(nullptr)));
    c.user = history::user_name();
    c.host = history::host_name();
    c.program = "tusave " TUSAVE_VERSION;
    std::vector<history::DriftValue> values;
    for (const tpfile::Change& x : changes)
        values.push_back({x.blockNo, x.tag, x.model, x.label, x.oldValue, x.newValue});
    try {
        history::Database db = history::Database::open(history::database_path(o.project), true);
        db.record_drift(c, values);
    } catch (const history::Error& e) {
        tusave_cli::err("tusave drift: this check is not recorded in the history database: " + std::string(e.what()));
    }
}

int RunOne(const DriftOptions& o) {
    if (!tusave_cli::known_station("tusave drift", o.project, o.station)) return 2;
    const auto begin = Clock::now();
    history::DriftCheck check;
    check.started = history::moment(static_cast<std::int64_t>(QVCTime(nullptr)));
    auto fail = [&](std::uint32_t result, const std::string& why) {
        tusave_cli::err("tusave drift: the drift check of " + o.station + " failed" +
                        (result ? tusave_cli::format(" with 0x%08x", result) : std::string()) + ": " + why);
        check.result = result;
        check.error = why;
        check.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        Record(o, check, {});
        return 2;
    };

    std::string projectDir, error, tpPath;
    if (!ws::project_dir(o.project, false, projectDir, error)) return fail(0, error);
    try {
        tpPath = tpfile::station_tp_path(o.project, o.station);
    } catch (const tpfile::Error& e) {
        return fail(0, e.what());
    }
    if (tpPath.rfind(projectDir + "/", 0) != 0)
        return fail(0, "the TP file " + tpPath + " lies outside the project folder " + projectDir);

    std::unique_ptr<eda::HeldGenLock> lock;
    if (const std::uint32_t r = eda::HeldGenLock::take(o.project, o.station, lock, error))
        return fail(r, error + (r == eda::kLocked ? ": wait until that save ends, then check again" : ""));

    Scratch scratch;
    if (!scratch.make(error) || !BuildScratch(scratch.dir(), o, projectDir, error)) return fail(0, error);
    CatchSignals();
    const ScratchRun run = RunScratchSave(o, scratch.dir());
    const std::string scratchProject = scratch.dir() + "/projects/" + o.project;
    if (run.signal) {
        check.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        tusave_cli::err("tusave drift: the drift check of " + o.station + " interrupted by " + SignalName(run.signal) +
                        ": nothing was changed");
        return 128 + run.signal;
    }
    for (const std::string& n : run.notes) tusave_cli::err("tusave: " + Unscratch(n, scratchProject, projectDir));
    if (!run.haveResult) return fail(0, "the read of the station ended without a result");
    if (run.result != 0) {
        std::vector<std::string> errLines;
        for (const std::string& l : run.errLines) {
            errLines.push_back(Unscratch(l, scratchProject, projectDir));
            tusave_cli::err(errLines.back());
        }
        tusave_cli::SaveOptions so;
        so.command = "drift";
        so.project = o.project;
        so.station = o.station;
        const std::string why = tusave_cli::diagnose(so, run.result, errLines);
        return fail(run.result, (why.empty() ? (errLines.empty() ? "the station's values could not be read"
                                                                  : errLines.front())
                                             : why) +
                                    tusave_cli::format(" (tusave explain 0x%08x)", run.result));
    }

    // Both TP files, the project's read while the lock still keeps every save away.
    tpfile::File station, project;
    bool projectHasTp = true;
    try {
        station = tpfile::read(scratchProject + tpPath.substr(projectDir.size()));
        const history::TpFile real = history::read_tp(tpPath);
        if (real.exists) {
            project = tpfile::parse(real.bytes, tpPath);
            check.projectTpSha256 = real.sha256;
        } else {
            projectHasTp = false;
        }
    } catch (const tpfile::Error& e) {
        return fail(0, Unscratch(e.what(), scratchProject, projectDir));
    }
    lock.reset();

    const std::vector<tpfile::Change> changes =
        tusave_cli::item_changes(tpfile::diff(project, station), project, station);
    check.differences = static_cast<std::int64_t>(changes.size());
    check.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    Record(o, check, changes);

    if (o.json) {
        Json j;
        j["old"] = tpPath;
        j["new"] = "station " + o.station;
        j["project"] = o.project;
        j["station"] = o.station;
        j["checked"] = history::moment_iso(history::moment(check.started.utc));
        j["projectHasTpFile"] = projectHasTp;
        j["changes"] = Json::array();
        for (const tpfile::Change& c : changes) j["changes"].push_back(tusave_cli::change_json(c));
        std::printf("%s\n", j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
        if (!projectHasTp)
            tusave_cli::err("tusave drift: the project has no TP file of " + o.station + " (" + tpPath +
                            "): every value of the station is unsaved");
        tusave_cli::print_changes(changes, isatty(STDOUT_FILENO), "project", "station");
    }
    std::fflush(stdout);
    return changes.empty() ? 0 : 1;
}

// ---- --all: one child process per station -----------------------------------------------------

struct Job {
    std::string station;
    pid_t pid = -1;
    int out = -1, err = -1;
    std::string outText, errText;
    bool started = false, done = false;
    int status = -1;   // exit status; 128 + N for signal N
    Clock::time_point begin, end;
    Json report;       // the child's JSON, when it gave one
};

bool Start(Job& j, const DriftOptions& o) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> args{"tusave", "drift", "--project", o.project, "--station", j.station, "--json"};
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&j.pid, "/proc/self/exe", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(out[0]);
        ::close(err[0]);
        j.errText = std::string("cannot start a drift check: ") + std::strerror(rc);
        return false;
    }
    j.out = out[0];
    j.err = err[0];
    j.started = true;
    j.begin = Clock::now();
    return true;
}

// Reads what is there from fd into text; false at its end (fd closed then).
bool Drain(int& fd, std::string& text) {
    char buf[8192];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) return true;
    if (n > 0) {
        text.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    ::close(fd);
    fd = -1;
    return false;
}

void Reap(Job& j) {
    int st = 0;
    while (::waitpid(j.pid, &st, 0) < 0 && errno == EINTR) {
    }
    j.done = true;
    j.end = Clock::now();
    j.status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : 2;
    if (j.status <= 1) j.report = Json::parse(j.outText, nullptr, false);
}

// The child's last line on stderr that says what went wrong.
std::string FirstError(const Job& j) {
    std::string last;
    std::size_t at = 0;
    while (at < j.errText.size()) {
        std::size_t nl = j.errText.find('\n', at);
        if (nl == std::string::npos) nl = j.errText.size();
        const std::string line = j.errText.substr(at, nl - at);
        if (line.rfind("tusave drift: the drift check of", 0) == 0) last = line;
        else if (last.empty() && !line.empty()) last = line;
        at = nl + 1;
    }
    const std::string head = "tusave drift: the drift check of " + j.station + " ";
    if (last.rfind(head, 0) == 0) last = last.substr(head.size());
    return last.empty() && j.status > 1 && j.status < 128 ? "failed" : last;
}

std::size_t Unsaved(const Job& j) {
    return j.report.is_object() && j.report.contains("changes") ? j.report["changes"].size() : 0;
}

std::string Outcome(const Job& j) {
    if (!j.started) return g_signal ? "not started" : "failed";
    if (!j.done) return "running";
    if (j.status == 0) return "in line with the project";
    if (j.status == 1 && j.report.is_object()) return "unsaved values";
    if (j.status > 128) return "interrupted";
    if (j.errText.find("is locked for generation") != std::string::npos) return "held by a save";
    return "failed";
}

double Seconds(const Job& j) {
    return j.started ? std::chrono::duration<double>((j.done ? j.end : Clock::now()) - j.begin).count() : 0.0;
}

int RunAll(const DriftOptions& o) {
    if (!tusave_cli::workstation_exists("tusave drift --all")) return 2;
    ws::Project project;
    std::string error;
    if (!ws::load_project(o.project, false, project, error)) {
        tusave_cli::err("tusave drift --all: " + error);
        return 2;
    }
    if (project.stations.empty()) {
        tusave_cli::err("tusave drift --all: the project " + o.project + " has no station");
        return 2;
    }
    CatchSignals();
    const unsigned jobs = o.jobs ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
    std::vector<Job> all(project.stations.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i].station = project.stations[i].name;
    std::size_t next = 0, running = 0;
    int forwarded = 0;
    auto finished = [&](Job& j) {
        if (!o.json)
            tusave_cli::out(tusave_cli::format("%s: %s", j.station.c_str(), Outcome(j).c_str()) +
                            (j.status == 1 ? tusave_cli::format(" (%zu)", Unsaved(j)) : std::string()) +
                            tusave_cli::format(" in %.1f s", Seconds(j)));
    };
    while (next < all.size() || running > 0) {
        if (g_signal && !forwarded) {
            forwarded = g_signal;
            for (Job& j : all)
                if (j.started && !j.done) ::kill(j.pid, forwarded);
            next = all.size();
        }
        while (!g_signal && running < jobs && next < all.size()) {
            Job& j = all[next++];
            if (Start(j, o)) {
                ++running;
            } else {
                j.done = true;
                j.status = 2;
                finished(j);
            }
        }
        std::vector<pollfd> fds;
        std::vector<std::pair<Job*, bool>> owners;   // the job, and whether the fd is its stdout
        for (Job& j : all) {
            if (j.out >= 0) fds.push_back({j.out, POLLIN, 0}), owners.push_back({&j, true});
            if (j.err >= 0) fds.push_back({j.err, POLLIN, 0}), owners.push_back({&j, false});
        }
        if (fds.empty()) continue;
        if (::poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) break;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            auto [j, isOut] = owners[i];
            if (isOut) Drain(j->out, j->outText);
            else Drain(j->err, j->errText);
            if (j->out < 0 && j->err < 0 && !j->done) {
                Reap(*j);
                --running;
                finished(*j);
            }
        }
    }

    bool failed = false, unsaved = false;
    std::vector<std::string> failedNames;
    for (const Job& j : all) {
        if (!j.done || (j.status != 0 && j.status != 1) || (j.status == 1 && !j.report.is_object())) {
            failed = true;
            failedNames.push_back(j.station);
        }
        if (j.status == 1 && j.report.is_object()) unsaved = true;
    }
    if (o.json) {
        Json a = Json::array();
        for (const Job& j : all) {
            Json s;
            s["station"] = j.station;
            s["outcome"] = Outcome(j);
            s["seconds"] = Seconds(j);
            s["unsaved"] = j.report.is_object() ? Json(Unsaved(j)) : Json();
            s["error"] = j.status == 0 || (j.status == 1 && j.report.is_object()) ? Json() : Json(FirstError(j));
            s["changes"] = j.report.is_object() && j.report.contains("changes") ? j.report["changes"] : Json();
            a.push_back(s);
        }
        std::printf("%s\n", a.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
        tusave_cli::out("");
        tusave_cli::out(tusave_cli::format("%-10s  %-24s  %7s  %8s  %s", "station", "outcome", "unsaved", "seconds",
                                           "error"));
        for (const Job& j : all) {
            const bool ok = j.status == 0 || (j.status == 1 && j.report.is_object());
            tusave_cli::out(tusave_cli::format("%-10s  %-24s  %7s  %8.1f  ", j.station.c_str(), Outcome(j).c_str(),
                                               ok ? std::to_string(Unsaved(j)).c_str() : "-", Seconds(j)) +
                            (ok ? "" : FirstError(j)));
        }
        if (unsaved)
            tusave_cli::out("The unsaved values of a station: tusave drift --project " + o.project + " --station S");
    }
    std::fflush(stdout);
    if (forwarded) {
        tusave_cli::err(tusave_cli::format("tusave drift --all: interrupted by %s", SignalName(forwarded)));
        return 128 + forwarded;
    }
    if (failed) {
        std::string names;
        for (const std::string& n : failedNames) names += (names.empty() ? "" : ", ") + n;
        tusave_cli::err(tusave_cli::format("tusave drift --all: %zu of %zu station(s) could not be checked: ",
                                           failedNames.size(), all.size()) +
                        names);
        return 2;
    }
    return unsaved ? 1 : 0;
}

int Run(const DriftOptions& o) {
    if (!tusave_cli::workstation_exists("tusave drift")) return 2;
    return o.all ? RunAll(o) : RunOne(o);
}

const tusave_cli::Register reg({"drift"}, [](CLI::App& app) {
    auto o = std::make_shared<DriftOptions>();
    CLI::App* cmd = app.add_subcommand("drift", "Whether the running station holds tuning values its project does not");
    const CLI::Validator plainName(
        [](const std::string& n) { return ws::valid_name(n) ? std::string() : std::string("not a plain name"); },
        "NAME");
    cmd->add_option("--project", o->project, "The project the station belongs to")->required()->check(plainName);
    auto* station = cmd->add_option("--station", o->station, "The station name (e.g. FCS0101)")->check(plainName);
    auto* all = cmd->add_flag("--all", o->all, "Check every station of the project, each in a process of its own");
    station->excludes(all);
    cmd->add_option("--jobs", o->jobs, "With --all: at most this many checks at a time (default: the number of CPUs)")
        ->check(CLI::Range(1u, 256u))
        ->needs(all);
    cmd->add_flag("--json", o->json, "Print the differences as one JSON document (with --all: an array of stations)");
    cmd->footer(
        "Reads the station's tuning values exactly as a save does (same frames, same checks) into a scratch\n"
        "copy of what the save needs, removed afterwards, while holding the station's generation lock (a\n"
        "save of the station meanwhile is refused), and compares them with the project's TP file. Nothing\n"
        "of the project or the workstation changes; the check is recorded in the project's history\n"
        "database. Output as tusave diff: the project's value, then the station's.\n"
        "Exit status: 0 when the station holds nothing unsaved, 1 when it does, 2 on an error (with\n"
        "--all: 2 when a station could not be checked, naming it; else 1 when one holds unsaved values).");
    cmd->callback([o, station]() {
        if (!o->all && station->count() == 0) throw CLI::RequiredError("--station or --all");
        tusave_cli::exit_status() = Run(*o);
    });
});

}  // namespace
