// tusave report: the plant report page of a project, from its tuning history database.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "LibQVCCommon.h"
#include "commands.h"
#include "config/ws_config.h"
#include "diagnose.h"
#include "history_cli.h"
#include "output.h"
#include "plant_report.h"

extern char** environ;

namespace {

struct ReportOptions {
    std::string project;
    std::string out;
    bool drift = false;
    unsigned jobs = 0;
    int staleDays = 7;
};

// tusave drift --all first, its table on this command's output; its exit status.
int RunDrift(const ReportOptions& o) {
    std::vector<std::string> args{"tusave", "drift", "--all", "--project", o.project};
    if (o.jobs) args.insert(args.end(), {"--jobs", std::to_string(o.jobs)});
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    pid_t pid = -1;
    if (const int rc = posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ); rc != 0) {
        tusave_cli::err(std::string("tusave report --drift: cannot start tusave drift --all: ") + std::strerror(rc));
        return 2;
    }
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
}

// Writes text to path whole: a temporary file beside it, then renamed over it.
bool WriteWhole(const std::string& path, const std::string& text, std::string& error) {
    const std::size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string tmp = dir + "/.tusave-report-XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        error = "cannot write in " + dir + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const int e = errno;
    const bool ok = done == text.size() && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(ok ? errno : e);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

int Run(const ReportOptions& o) {
    if (!tusave_cli::workstation_exists("tusave report")) return 2;
    ws::Project project;
    std::string error;
    if (!ws::load_project(o.project, false, project, error)) {
        tusave_cli::err("tusave report: " + error);
        return 2;
    }
    if (o.drift) {
        const int st = RunDrift(o);
        if (st > 128) return st;   // interrupted: no report
        tusave_cli::out("");
    }
    bool missing = false;
    std::optional<history::Database> db = tusave_cli::open_history("report", o.project, false, &missing);
    if (!db && !missing) return 2;
    std::vector<std::string> names;
    for (const ws::Station& s : project.stations) names.push_back(s.name);
    plantreport::Options po;
    po.project = o.project;
    po.now = static_cast<std::int64_t>(QVCTime(nullptr));
    po.staleDays = o.staleDays;
    std::string html;
    try {
        po.source = history::database_path(o.project);
        if (db) tusave_cli::settle(*db, "");
        html = plantreport::build(db ? &*db : nullptr, names, po);
    } catch (const history::Error& e) {
        tusave_cli::err("tusave report: " + history::advice(e, po.source));
        return 2;
    }
    const std::string out = o.out.empty() ? "tuning-report-" + o.project + ".html" : o.out;
    if (!WriteWhole(out, html, error)) {
        tusave_cli::err("tusave report: " + error);
        return 2;
    }
    tusave_cli::out(tusave_cli::format("Report of %s written: %s (%zu stations, %.1f KB)", o.project.c_str(),
                                       out.c_str(), names.size(), static_cast<double>(html.size()) / 1024.0) +
                    (db ? "" : "; no save is recorded in the history database yet"));
    return 0;
}

const tusave_cli::Register reg({"report"}, [](CLI::App& app) {
    auto o = std::make_shared<ReportOptions>();
    CLI::App* cmd = app.add_subcommand("report", "Write the plant report page of a project (one HTML file)");
    cmd->add_option("--project", o->project, "The project")->required()->check(CLI::Validator(
        [](const std::string& n) { return ws::valid_name(n) ? std::string() : std::string("not a plain name"); },
        "NAME"));
    cmd->add_option("--out", o->out, "The file to write (default: tuning-report-<project>.html here)");
    auto* drift = cmd->add_flag("--drift", o->drift, "Run tusave drift --all first, so that the page shows what the "
                                                     "stations hold unsaved now");
    cmd->add_option("--jobs", o->jobs, "With --drift: at most this many checks at a time")
        ->check(CLI::Range(1u, 256u))
        ->needs(drift);
    cmd->add_option("--stale-days", o->staleDays, "Mark the stations without a good save for more than this many days")
        ->check(CLI::Range(0, 36500))
        ->capture_default_str();
    cmd->footer("The page is one self-contained HTML file (no network, no other file): a table of the stations\n"
                "(sortable and filterable where scripts run; complete without them), then per station a timeline\n"
                "of its saves, its most changed items and its numeric values over time. It reads the project's\n"
                "history database and changes nothing (with --drift: the drift checks are recorded).\n"
                "Exit status: 0 when the page is written, 2 on an error.");
    cmd->callback([o]() { tusave_cli::exit_status() = Run(*o); });
});

}  // namespace
