// tusave save: runs the export for one station and shows its lines.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "commands.h"
#include "config/ws_config.h"
#include "failpoint/failpoint.h"
#include "libqvecommon.h"
#include "libqveeda/eda_status.h"
#include "libqverxeda/gen_lock.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqveldtusave.h"
#include "port/port_host.h"
#include "recorder.h"
#include "report.h"
#include "save.h"
#include "strings.h"

using tusave_cli::SaveOptions;

namespace {

// Shows lines on a terminal: a progress bar kept on the last line, message lines above it.
class TerminalView {
public:
    std::uint32_t line(const char* text) {
        std::string s(text ? text : "");
        if (s.rfind("PRG:", 0) == 0) {
            percent_ = std::atoi(s.c_str() + 4);
            if (percent_ < 0) percent_ = 0;
            if (percent_ > 100) percent_ = 100;
            drawBar();
            return 0;
        }
        const char* colour = "";
        if (s.rfind("ERR:", 0) == 0) colour = "\033[1;31m";
        else if (s.rfind("WRN:", 0) == 0) colour = "\033[33m";
        else if (s.rfind("MSG:", 0) == 0) colour = "\033[32m";
        std::printf("\r\033[K%s%.4s\033[0m%s\n", colour, s.c_str(), s.size() > 4 ? s.c_str() + 4 : "");
        if (barShown_) drawBar();
        std::fflush(stdout);
        return 0;
    }
    void finish() {
        if (barShown_) std::printf("\n");
        std::fflush(stdout);
    }

private:
    void drawBar() {
        constexpr int kWidth = 40;
        int filled = percent_ * kWidth / 100;
        std::printf("\r\033[K[%s%s] %3d%%", std::string(filled, '#').c_str(),
                    std::string(kWidth - filled, '.').c_str(), percent_);
        std::fflush(stdout);
        barShown_ = true;
    }
    int percent_ = 0;
    bool barShown_ = false;
};

}  // namespace

int tusave_cli::run_save(const SaveOptions& o) {
    // The history database records every save that may write (not the check alone). Its
    // look-ups come before any failpoint is armed: they are not the save's.
    std::optional<history::Recorder> recorder;
    if (o.mode != 1)
        recorder.emplace(history::RecorderOptions{o.project, o.station, static_cast<int>(o.kind),
                                                  static_cast<int>(o.mode), o.reason, "tusave " TUSAVE_VERSION});
    std::string error;
    if (!failpoint::arm_from_env(&error)) {
        std::fprintf(stderr, "tusave save: TUSAVE_FAILPOINTS: %s\n", error.c_str());
        return 2;
    }
    port::set_string_table(tusave_cli::string_table());
    port::set_application({"tusave " TUSAVE_VERSION, {}, {}});

    const bool terminal = !o.raw && !o.json && isatty(STDOUT_FILENO);
    // The report (which lists the station's folder before and after) only when it is shown;
    // the raw lines feed save --all, which wants nothing else.
    std::optional<tusave_cli::SaveReport> report;
    if (!o.raw && (o.json || o.summary || terminal)) report.emplace(o);
    TerminalView view;
    if (recorder) recorder->start();
    ws::set_message_sink([&](const char* line) -> std::uint32_t {
        if (recorder) recorder->line(line);
        if (report) report->line(line);
        if (o.json) return 0;
        if (terminal) return view.line(line);
        std::printf("%s\n", line ? line : "");
        return 0;
    });

    unsigned int result = QVELdFcsTuningParmSave(o.parm1.c_str(), o.parm2.c_str(), o.project.c_str(),
                                                 o.station.c_str(), o.kind, o.mode,
                                                 static_cast<unsigned short>(o.value));
    if (recorder) {
        unsigned blocks = 0, records = 0;
        QVELdFcsTuningParmSaveCount(&blocks, &records);
        recorder->finish(result, blocks, records);
        if (!recorder->warning().empty()) QVEEngPutMsgBuf(recorder->warning().c_str());
    }
    ws::set_message_sink(nullptr);
    if (terminal) view.finish();
    if (report) report->finish(result);
    if (o.json) report->print_json();
    else if (report) report->print_summary();
    if (report && !o.json && recorder && !recorder->summary().empty()) std::printf("%s\n", recorder->summary().c_str());
    if (o.raw || o.json) {
        if (o.raw) std::printf("RESULT 0x%08x\n", result);
    } else if (result != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "tusave save: the save of %s failed with 0x%08x\n", o.station.c_str(), result);
    }
    // The save's own line does not name a broken configuration file: name it here.
    if (result != 0) {
        ws::Project project;
        std::string error;
        if (!ws::load_project(o.project, o.kind == 3, project, error)) {
            std::fflush(stdout);
            std::fprintf(stderr, "tusave save: %s\n", error.c_str());
        }
    }
    // A refused generation lock comes back as the lock service's bare code, without a line.
    if (result == eda::kLocked || result == eda::kIo) {
        std::fflush(stdout);
        if (result == eda::kLocked) {
            const std::string pid = eda::gen_lock_holder(o.project, o.station);
            std::fprintf(stderr, "tusave save: station %s of project %s is held by another save%s\n", o.station.c_str(),
                         o.project.c_str(), pid.empty() ? "" : (" (process " + pid + ")").c_str());
        } else {
            std::fprintf(stderr, "tusave save: the lock folder %s/lock/%s is unusable: %s\n", ws::home().c_str(),
                         o.project.c_str(), eda::last_error().c_str());
        }
    }
    std::fflush(stdout);
    return result == 0 ? 0 : 1;
}

namespace {

const tusave_cli::Register reg([](CLI::App& app) {
    auto opts = std::make_shared<SaveOptions>();
    CLI::App* cmd = app.add_subcommand("save", "Save the tuning parameters of one station into its project");
    // Names reach every output line: one with a control character could forge lines.
    const CLI::Validator plainName(
        [](const std::string& n) { return ws::valid_name(n) ? std::string() : std::string("not a plain name"); },
        "NAME");
    cmd->add_option("--project", opts->project, "The project the station belongs to")->required()->check(plainName);
    auto* station = cmd->add_option("--station", opts->station, "The station name (e.g. FCS0101)")->check(plainName);
    auto* all = cmd->add_flag("--all", opts->all,
                              "Save every station of the project's system configuration, each in a process of its own");
    station->excludes(all);
    cmd->add_option("--jobs", opts->jobs, "With --all: at most this many saves at a time (default: the number of CPUs)")
        ->check(CLI::Range(1u, 256u));
    cmd->add_option("--kind", opts->kind, "Project kind: 2 = the normal project, 3 = its equalization project")
        ->capture_default_str();
    cmd->add_option("--mode", opts->mode,
                    "Save mode: 0 = full save after the generation-time check, 1 = generation-time check only, "
                    "2 = full save without the check (always used for a station under test)")
        ->capture_default_str();
    auto* raw = cmd->add_flag("--raw", opts->raw,
                              "Print every message-buffer line exactly as received, then \"RESULT 0x%08x\"");
    auto* json = cmd->add_flag("--json", opts->json,
                               "Print one JSON report instead of the lines (docs/save-report.schema.json)");
    json->excludes(raw)->excludes(all);
    cmd->add_flag("--summary", opts->summary, "End with the summary also when the output is not a terminal")
        ->excludes(raw)
        ->excludes(json);
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
        "and coloured MSG:/WRN:/ERR: lines, then a summary: blocks and records saved, the tuning values\n"
        "changed since the last save (and a command that lists them), the files written, the time taken;\n"
        "otherwise it prints the lines as they come.\n"
        "The workstation folder is $TUSAVE_HOME (default $HOME/.tusave).\n"
        "TUSAVE_FAILPOINTS=\"NAME=RESULT[@N][+];...\" arms fault injection (a malformed value is an error).\n"
        "Exit status: 0 when the save returned 0, 1 when it returned an error code, 2 on a usage error.");
    cmd->callback([opts, station, all]() {
        if (!opts->all && station->count() == 0) throw CLI::RequiredError("--station or --all");
        tusave_cli::exit_status() = opts->all ? tusave_cli::run_save_all(*opts) : tusave_cli::run_save(*opts);
    });

    auto check = std::make_shared<SaveOptions>();
    check->mode = 1;
    CLI::App* chk = app.add_subcommand("check", "Check whether the running station was generated from the project");
    chk->add_option("--project", check->project, "The project the station belongs to")->required()->check(plainName);
    chk->add_option("--station", check->station, "The station name (e.g. FCS0101)")->required()->check(plainName);
    chk->add_option("--kind", check->kind, "Project kind: 2 = the normal project, 3 = its equalization project")
        ->capture_default_str();
    chk->add_flag("--raw", check->raw, "Print every message-buffer line exactly as received, then \"RESULT 0x%08x\"");
    chk->footer("The generation-time check of a save alone (save mode 1): nothing is written.\n"
                "Exit status: 0 when the station matches the project, 1 when it does not or the check failed.");
    chk->callback([check]() { tusave_cli::exit_status() = tusave_cli::run_save(*check); });
});

}  // namespace
