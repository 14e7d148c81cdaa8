// tusave save and tusave check: run the export for one station and show its lines.
//
// The save runs in a child process that this one watches. SIGINT or SIGTERM ends the child where
// it stands: every file the save replaces is written whole and renamed into place, so each is
// old or new, and the generation lock ends with its holder. This process then tells in one line
// whether the project was changed, writes the history log's end line for the save, and exits
// with 128 + the signal. The next save brings everything into line.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LibQVCCommon.h"
#include "commands.h"
#include "config/ws_config.h"
#include "diagnose.h"
#include "failpoint/failpoint.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqvecommon.h"
#include "libqveldtusave.h"
#include "output.h"
#include "port/port_host.h"
#include "recorder.h"
#include "report.h"
#include "save.h"
#include "tusave_host.h"
#include "tusave_sanitized.h"

using tusave_cli::SaveOptions;

namespace {

namespace fs = std::filesystem;

// Shows lines on a terminal that can redraw: a progress bar kept on the last line, coloured
// message lines above it. A failed save never shows a full bar.
class TerminalView {
public:
    void line(const std::string& s) {
        if (s.rfind("PRG:", 0) == 0) {
            const int p = std::atoi(s.c_str() + 4);
            // The closing progress line comes also after a failure: drawn by finish().
            if (p < 100) {
                percent_ = std::max(0, p);
                drawBar("");
            }
            return;
        }
        const char* colour = "";
        if (s.rfind("ERR:", 0) == 0) colour = "\033[1;31m";
        else if (s.rfind("WRN:", 0) == 0) colour = "\033[33m";
        else if (s.rfind("MSG:", 0) == 0) colour = "\033[32m";
        const std::string text = tusave_cli::escape(s);
        std::printf("\r\033[K%s%.4s\033[0m%s\n", colour, text.c_str(), text.size() > 4 ? text.c_str() + 4 : "");
        if (barShown_) drawBar("");
        std::fflush(stdout);
    }
    void finish(std::uint32_t result) {
        if (result == 0) {
            percent_ = 100;
            drawBar("");
        } else if (barShown_) {
            drawBar(" \033[1;31mfailed\033[0m");
        }
        if (barShown_) std::printf("\n");
        std::fflush(stdout);
    }

private:
    void drawBar(const char* tail) {
        constexpr int kWidth = 40;
        const int filled = percent_ * kWidth / 100;
        std::printf("\r\033[K[%s%s] %3d%%%s", std::string(filled, '#').c_str(), std::string(kWidth - filled, '.').c_str(),
                    percent_, tail);
        std::fflush(stdout);
        barShown_ = true;
    }
    int percent_ = 0;
    bool barShown_ = false;
};

// The history database records every save that may write (not the check alone). Made before
// any failpoint is armed: its look-ups are not the save's.
std::optional<history::Recorder> g_recorder;

void NoteToStderr(const char* text) { tusave_cli::err(std::string("tusave: ") + (text ? text : "")); }

// The save itself, in this process: lines, report, result, the failure line.
int SaveHere(const SaveOptions& o) {
    // A station that is not in the project's configuration gets no history: the save fails
    // at once and says so, and a mistyped name must not make a station of its own there.
    ws::Project project;
    std::string loadError;
    if (o.mode != 1 && ws::load_project(o.project, o.kind == 3, project, loadError) && project.find(o.station))
        g_recorder.emplace(history::RecorderOptions{o.project, o.station, static_cast<int>(o.kind),
                                                    static_cast<int>(o.mode), o.reason, "tusave " TUSAVE_VERSION});
    if (std::string error; !failpoint::arm_from_env(&error)) {
        tusave_cli::err("tusave " + o.command + ": TUSAVE_FAILPOINTS: " + error);
        return 2;
    }
    tusave_host_use_default_texts();
    port::set_application({"tusave " TUSAVE_VERSION, {}, {}});
    ws::set_note_sink(NoteToStderr);

    const bool terminal = !o.raw && !o.json && isatty(STDOUT_FILENO);
    const bool rich = terminal && tusave_cli::rich_terminal();
    // The report (which lists the station's folder before and after) only when it is shown;
    // the raw lines feed save --all, which wants nothing else.
    std::optional<tusave_cli::SaveReport> report;
    if (!o.raw && (o.json || o.summary || terminal)) report.emplace(o);
    TerminalView view;
    std::vector<std::string> errLines;
    // The history's start is the one the summary shows.
    if (g_recorder) g_recorder->start(report ? std::optional<std::int64_t>(report->started()) : std::nullopt);
    ws::set_message_sink([&](const char* text) -> std::uint32_t {
        const std::string line = text ? text : "";
        if (line.rfind("ERR:", 0) == 0) errLines.push_back(line);
        if (g_recorder) g_recorder->line(line.c_str());
        if (report) report->line(line.c_str());
        if (o.json) return 0;
        if (rich) view.line(line);
        else tusave_cli::out(line);
        return 0;
    });

    const unsigned int result = QVELdFcsTuningParmSave(o.parm1.c_str(), o.parm2.c_str(), o.project.c_str(),
                                                       o.station.c_str(), o.kind, o.mode,
                                                       static_cast<unsigned short>(o.value));
    if (g_recorder) {
        unsigned blocks = 0, records = 0;
        QVELdFcsTuningParmSaveCount(&blocks, &records);
        g_recorder->finish(result, blocks, records);
        if (!g_recorder->warning().empty()) QVEEngPutMsgBuf(g_recorder->warning().c_str());
    }
    ws::set_message_sink(nullptr);
    if (rich) view.finish(result);
    if (report) report->finish(result);
    if (o.json) report->print_json();
    else if (report) report->print_summary();
    if (report && !o.json && g_recorder && !g_recorder->summary().empty()) tusave_cli::out(g_recorder->summary());
    if (o.raw) tusave_cli::out(tusave_cli::format("RESULT 0x%08x", result));
    if (result != 0) {
        const std::string why = tusave_cli::diagnose(o, result, errLines);
        tusave_cli::err(tusave_cli::format("tusave %s: the %s of %s failed with 0x%08x", o.command.c_str(),
                                           o.command.c_str(), o.station.c_str(), result) +
                        (why.empty() ? "" : ": " + why) +
                        tusave_cli::format(" (tusave explain 0x%08x)", result));
    }
    std::fflush(stdout);
    return result == 0 ? 0 : 1;
}

// The station's project folder, or empty when it cannot be told.
std::string StationDir(const SaveOptions& o) {
    std::string dir, error;
    if (!ws::project_dir(o.project, o.kind == 3, dir, error)) return {};
    return dir + "/" + o.station;
}

// Files of dir changed since `since` (their status changed: written, renamed in, removed from a
// folder), after the hidden temporaries ".<name>.<pid>.<n>.tmp" of process pid are removed.
bool ChangedSince(const std::string& dir, const timespec& since, pid_t pid) {
    if (dir.empty()) return true;   // cannot be told: say it may be
    const std::string mark = "." + std::to_string(pid) + ".";
    bool changed = false;
    std::error_code ec;
    std::vector<std::string> temporaries;
    for (fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() > 5 && name[0] == '.' && name.ends_with(".tmp") && name.find(mark) != std::string::npos) {
            temporaries.push_back(it->path().string());
            continue;
        }
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0) continue;
        if (st.st_ctim.tv_sec > since.tv_sec ||
            (st.st_ctim.tv_sec == since.tv_sec && st.st_ctim.tv_nsec >= since.tv_nsec))
            changed = true;
    }
    for (const std::string& t : temporaries) ::unlink(t.c_str());
    return changed;
}

// The history log's end line for a save that a signal ended, when its start line is the last
// line of the station there.
void HistoryAbort(const SaveOptions& o) {
    if (o.kind != 2) return;   // the save logs the normal project only
    const std::string path = ws::home() + "/log/history.log";
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(std::max<std::streamoff>(0, size - 65536));
    std::string line, last;
    const std::string who = "\t" + o.project + "\t" + o.station + "\t";
    while (std::getline(in, line))
        if (line.find(who) != std::string::npos) last = line;
    if (last.find("\tTP \tstart\t") == std::string::npos) return;
    QVCInitHistoryLog(o.project.c_str(), o.station.c_str(), nullptr);
    QVCPutHistoryLogLoad("TP ", "abort", o.station.c_str());
}

// Ends the process with status, without the destructors of the program's objects (nothing
// of them is left to write); the sanitizer build ends normally, so that its checks at exit run.
[[noreturn]] void EndNow(int status) {
    if (tusave::kSanitized) std::exit(status);
    _exit(status);
}

// Runs SaveHere in a child and waits for it; SIGINT and SIGTERM go to the child.
int Supervise(const SaveOptions& o) {
    sigset_t watched, old;
    sigemptyset(&watched);
    sigaddset(&watched, SIGINT);
    sigaddset(&watched, SIGTERM);
    sigaddset(&watched, SIGCHLD);
    sigprocmask(SIG_BLOCK, &watched, &old);
    std::signal(SIGCHLD, SIG_DFL);   // an inherited "ignore" would reap the child unseen
    timespec start {};
    clock_gettime(CLOCK_REALTIME_COARSE, &start);
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        sigprocmask(SIG_SETMASK, &old, nullptr);
        return SaveHere(o);   // no second process: the save runs here, without the watch
    }
    if (child == 0) {
        // The save dies with its supervisor: a killed tusave leaves no save running unseen,
        // holding the station's lock.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(128 + SIGKILL);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        const int status = SaveHere(o);
        // Nothing of the save is left open but the history database: closed, the output
        // flushed, the process ends without taking its memory apart (as the watcher below).
        g_recorder.reset();
        std::fflush(nullptr);
        EndNow(status);
    }
    int forwarded = 0, status = 0;
    for (;;) {
        const int sig = sigwaitinfo(&watched, nullptr);
        if (sig == SIGINT || sig == SIGTERM) {
            if (!forwarded) forwarded = sig;
            ::kill(child, sig);
            continue;
        }
        if (sig == SIGCHLD || sig < 0) {
            const pid_t r = ::waitpid(child, &status, WNOHANG);
            if (r == child || (r < 0 && errno == ECHILD)) break;
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (WIFEXITED(status)) {
        // The save's own status is this program's: nothing is left to do.
        std::fflush(nullptr);
        EndNow(WEXITSTATUS(status));
    }
    const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : SIGKILL;
    if (!o.raw && !o.json && isatty(STDOUT_FILENO)) std::printf("\n");
    const bool changed = o.mode != 1 && ChangedSince(StationDir(o), start, child);
    HistoryAbort(o);
    const char* name = sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : sigabbrev_np(sig);
    tusave_cli::err(tusave_cli::format("tusave %s: %s of %s %s by %s: ", o.command.c_str(),
                                       o.command == "check" ? "the check" : "the save", o.station.c_str(),
                                       sig == SIGINT || sig == SIGTERM ? "interrupted" : "ended",
                                       name ? name : "a signal") +
                    (changed ? "the project is partly updated: run the save again"
                             : "nothing was changed"));
    return 128 + sig;
}

}  // namespace

int tusave_cli::run_save(const SaveOptions& o) {
    if (!workstation_exists("tusave " + o.command)) return 2;
    return Supervise(o);
}

namespace {

const tusave_cli::Register reg({"save", "check"}, [](CLI::App& app) {
    auto opts = std::make_shared<SaveOptions>();
    CLI::App* cmd = app.add_subcommand("save", "Save the tuning parameters of one station into its project");
    // Names reach every output line and path: one with a control character or "/" is refused.
    const CLI::Validator plainName(
        [](const std::string& n) { return ws::valid_name(n) ? std::string() : std::string("not a plain name"); },
        "NAME");
    cmd->add_option("--project", opts->project, "The project the station belongs to")->required()->check(plainName);
    auto* station = cmd->add_option("--station", opts->station, "The station name (e.g. FCS0101)")->check(plainName);
    auto* all = cmd->add_flag("--all", opts->all,
                              "Save every station of the project's system configuration, each in a process of its own");
    station->excludes(all);
    cmd->add_option("--jobs", opts->jobs, "With --all: at most this many saves at a time (default: the number of CPUs)")
        ->check(CLI::Range(1u, 256u))
        ->needs(all);
    cmd->add_option("--kind", opts->kind, "Project kind: 2 = the normal project, 3 = its equalization project")
        ->check(CLI::IsMember({2u, 3u}))
        ->capture_default_str();
    cmd->add_option("--mode", opts->mode,
                    "Save mode: 0 = full save after the generation-time check, 1 = generation-time check only, "
                    "2 = full save without the check (always used for a station under test)")
        ->check(CLI::Range(0u, 2u))
        ->capture_default_str();
    auto* raw = cmd->add_flag("--raw", opts->raw,
                              "Print every message-buffer line as received (control characters as \\xNN), then "
                              "\"RESULT 0x%08x\"");
    raw->excludes(all);
    auto* json = cmd->add_flag("--json", opts->json,
                               "Print one JSON report instead of the lines (docs/save-report.schema.json)");
    json->excludes(raw)->excludes(all);
    cmd->add_flag("--summary", opts->summary, "End with the summary also when the output is not a terminal")
        ->excludes(raw)
        ->excludes(json)
        ->excludes(all);
    cmd->add_option("--reason", opts->reason, "Why this save is made: kept with it in the project's history database")
        ->check(CLI::Validator(
            [](const std::string& r) {
                for (unsigned char c : r)
                    if (c < 0x20 || c == 0x7f) return std::string("one line of text, without control characters");
                return std::string();
            },
            "TEXT"));
    cmd->add_option("--parm1", opts->parm1, "First caller text handed to the generation-time check");
    cmd->add_option("--parm2", opts->parm2, "Second caller text handed to the generation-time check");
    cmd->add_option("--value", opts->value, "Value for the automatic-backup comment (0..65535)")
        ->check(CLI::Range(0u, 65535u))
        ->capture_default_str();
    cmd->footer(
        "The save reads the tuning values of the running station over the control bus and writes them\n"
        "into the project (database file, edit files, TP file). On a terminal it shows a progress bar\n"
        "and coloured MSG:/WRN:/ERR: lines, then a summary: blocks and records saved, warnings, the tuning\n"
        "values changed since the last save (and a command that lists them), the files written, the\n"
        "backups made; otherwise it prints the lines as they come (NO_COLOR or TERM=dumb: no colours, no bar).\n"
        "A failure ends with a line on stderr that names what failed and what to do (tusave explain CODE).\n"
        "Ctrl-C (SIGINT) or SIGTERM ends the save at once; a line tells whether the project was changed.\n"
        "The workstation folder is $TUSAVE_HOME (default $HOME/.tusave).\n"
        "TUSAVE_FAILPOINTS=\"NAME=RESULT[@N][+];...\" arms fault injection (a malformed value is an error).\n"
        "Exit status: 0 when the save returned 0, 1 when it returned an error code, 2 on a usage error,\n"
        "130 or 143 when SIGINT or SIGTERM ended it.");
    cmd->callback([opts, station, all]() {
        if (!opts->all && station->count() == 0) throw CLI::RequiredError("--station or --all");
        tusave_cli::exit_status() = opts->all ? tusave_cli::run_save_all(*opts) : tusave_cli::run_save(*opts);
    });

    auto check = std::make_shared<SaveOptions>();
    check->command = "check";
    check->mode = 1;
    CLI::App* chk = app.add_subcommand("check", "Check whether the running station was generated from the project");
    chk->add_option("--project", check->project, "The project the station belongs to")->required()->check(plainName);
    chk->add_option("--station", check->station, "The station name (e.g. FCS0101)")->required()->check(plainName);
    chk->add_option("--kind", check->kind, "Project kind: 2 = the normal project, 3 = its equalization project")
        ->check(CLI::IsMember({2u, 3u}))
        ->capture_default_str();
    auto* chkRaw = chk->add_flag("--raw", check->raw,
                                 "Print every message-buffer line as received, then \"RESULT 0x%08x\"");
    chk->add_flag("--summary", check->summary, "End with the outcome also when the output is not a terminal")
        ->excludes(chkRaw);
    chk->footer("The generation-time check of a save alone (save mode 1): nothing is written.\n"
                "Exit status: 0 when the station matches the project, 1 when it does not or the check failed,\n"
                "2 on a usage error.");
    chk->callback([check]() { tusave_cli::exit_status() = tusave_cli::run_save(*check); });
});

}  // namespace
