// history_bench: what recording a save in the project's history database costs, on a sample
// station of 4000 blocks served by fcssim, the save and the station pinned to one CPU.
//
//   H1  CPU of the recording (the recorder before and after the call) / CPU of the save (the
//       library's call), values unchanged                                    goal <= 0.05
//   H2  the same for a first save (every value recorded)                     goal <= 0.15
//   H3  growth of the database file per unchanged save (bytes)               goal <= 2048
//   H4  wall time of `tusave log` of one item over 1,000 saves (s)           goal < 0.1
//       (the saves are synthetic: the first save's TP file, then 999 with a few values
//       changed each, the item every tenth, recorded through the database's API)
//   H5  CPU of settling the station's killed saves, which every save does first, after
//       those saves / after the first 100 of them: flat as the history grows goal <= 1.5
//
// The save runs in this process as tusave runs it; the station is a separate process, so the
// process CPU is the save's and the recorder's alone. Prints a table and writes it as JSON to
// bench/results/<commit>-<date>-history.json.
//
//   history_bench [--blocks N] [--runs N] [--saves N] [--cpu N] [--out DIR] [--keep]
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "history.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqveldtusave.h"
#include "recorder.h"
#include "sample.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using namespace bench;
using Station = bench::Fcssim;

const std::string kSource = TUSAVE_SOURCE_DIR;
struct Run {
    double wall = 0, cpu = 0;
    int status = -1;
};

// A program run to its end, its stdout to out: wall time and CPU (user + system).
Run run(const std::vector<std::string>& argv, const std::string& out) {
    Run r;
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) dup2(fd, 1);
        std::vector<char*> a;
        for (const auto& x : argv) a.push_back(const_cast<char*>(x.c_str()));
        a.push_back(nullptr);
        execv(a[0], a.data());
        _exit(127);
    }
    int st = 0;
    rusage ru{};
    wait4(pid, &st, 0, &ru);
    r.wall = std::chrono::duration<double>(Clock::now() - t0).count();
    r.cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
    return r;
}

struct Pair {
    double save = 0, recording = 0;
};

// One save as tusave runs it: the recorder around the library's call.
Pair measured_save(const std::string& station) {
    history::RecorderOptions o{"DEMO", station, 2, 2, "bench", "tusave bench"};
    const double c0 = cpu_now();
    history::Recorder rec(o);
    rec.start();
    ws::set_message_sink([&rec](const char* line) {
        rec.line(line);
        return 0u;
    });
    const double c1 = cpu_now();
    const unsigned result = QVELdFcsTuningParmSave("", "", "DEMO", station.c_str(), 2, 2, 0);
    const double c2 = cpu_now();
    unsigned blocks = 0, records = 0;
    QVELdFcsTuningParmSaveCount(&blocks, &records);
    rec.finish(result, blocks, records);
    const double c3 = cpu_now();
    ws::set_message_sink(nullptr);
    if (result != 0) die("a save failed: " + std::to_string(result));
    if (!rec.warning().empty()) die("not recorded: " + rec.warning());
    return {c2 - c1, (c1 - c0) + (c3 - c2)};
}

void remove_db(const std::string& db) {
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db + suffix);
}

// The TP file with value `value` for item `label` of block line `line` (0-based among the
// parameter lines); the text of other values stays as it is.
bool set_value(std::string& tp, std::size_t line, const std::string& label, const std::string& value) {
    std::size_t at = 0;
    for (std::size_t n = 0; n < line + 2; ++n) {
        at = tp.find('\n', at);
        if (at == std::string::npos) return false;
        ++at;
    }
    const std::size_t end = tp.find('\n', at);
    for (const char sep : {':', ','}) {
        const std::size_t k = tp.find(std::string(1, sep) + label + "=", at);
        if (k == std::string::npos || k > end) continue;
        const std::size_t v = k + label.size() + 2;
        const std::size_t stop = tp.find_first_of(",;", v);
        if (stop == std::string::npos || stop > end) return false;
        tp.replace(v, stop - v, value);
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    int blocks = 4000, runs = 7, saves = 1000;
    bool keep = false;
    std::string outDir = kSource + "/bench/results";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--blocks" && i + 1 < argc) blocks = std::max(1, std::atoi(argv[++i]));
        else if (a == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--saves" && i + 1 < argc) saves = std::max(2, std::atoi(argv[++i]));
        else if (a == "--cpu" && i + 1 < argc) g_cpu = std::atoi(argv[++i]);
        else if (a == "--out" && i + 1 < argc) outDir = argv[++i];
        else if (a == "--keep") keep = true;
        else die("usage: history_bench [--blocks N] [--runs N] [--saves N] [--cpu N] [--out DIR] [--keep]");
    }
    const int cpus = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    if (g_cpu < 0 || g_cpu >= cpus) g_cpu = cpus - 1;
    pin_self();
    const std::string cpuModel = shell("grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'");
    std::printf("history benchmark: %d blocks, save and station pinned to CPU %d; %s\n", blocks, g_cpu, cpuModel.c_str());

    const std::string home = kBuild + "/bench-work-history";
    fs::remove_all(home);
    sample::Description d = sample::default_description();
    d.stations.resize(1);
    d.stations[0].blocks = blocks;
    d.stations[0].blocksPerDrawing = 32;
    d.stations[0].customFolders.clear();
    d.stations[0].customFiles.clear();
    d.stations[0].autoBackup = false;
    const sample::Result built = sample::build(d, home);
    const std::string station = built.stations[0].name;
    setenv("TUSAVE_HOME", home.c_str(), 1);
    const std::string db = history::database_path("DEMO");
    const std::string tp = home + "/projects/DEMO/" + station + "/TP/tuning.tps";
    const std::string sampleTp = slurp(tp);

    std::vector<double> first, unchanged;
    double growth = 0;
    std::size_t tpBytes = 0;
    {
        Station sim(home);
        // H2: each run a first save: no database, the sample's TP file (which lists no block).
        for (int i = 0; i < runs; ++i) {
            remove_db(db);
            std::ofstream(tp, std::ios::trunc | std::ios::binary) << sampleTp;
            const Pair p = measured_save(station);
            first.push_back(p.recording / p.save);
            std::printf("  first save %d: save %.3f s, recording %.3f s CPU\n", i + 1, p.save, p.recording);
        }
        tpBytes = fs::file_size(tp);
        // H1 and H3: saves with nothing changed, into the database the last first save made.
        const auto size0 = fs::file_size(db);
        const int n = std::max(runs, 20);
        for (int i = 0; i < n; ++i) {
            const Pair p = measured_save(station);
            unchanged.push_back(p.recording / p.save);
            if (i < runs) std::printf("  unchanged save %d: save %.3f s, recording %.3f s CPU\n", i + 1, p.save, p.recording);
        }
        growth = static_cast<double>(fs::file_size(db) - size0) / n;
        if (fs::exists(db + "-wal") && fs::file_size(db + "-wal") > 0) die("the database was left with a WAL file");
    }

    // H4: 1,000 saves of the station, filled through the database's API.
    remove_db(db);
    std::string tag;
    std::string label;
    double logWall = 0;
    std::size_t logLines = 0;
    std::vector<double> logs;
    double settleEarly = 0, settleLate = 0;
    {
        const tpfile::File base = tpfile::parse(slurp(tp), tp);
        // Numeric items of plain labels, by their block line.
        std::vector<std::pair<std::size_t, std::string>> items;
        for (std::size_t b = 0; b < base.blocks.size(); ++b)
            for (const auto& it : base.blocks[b].items)
                if (it.label.find_first_of(",:;\\") == std::string::npos && !it.value.empty() &&
                    it.value.find_first_not_of("0123456789.-") == std::string::npos)
                    items.emplace_back(b, it.label);
        if (items.empty()) die("no numeric item in the TP file");
        const auto target = items[items.size() / 2];
        tag = base.blocks[target.first].tag;
        label = target.second;
        history::Database h = history::Database::open(db, true);
        std::mt19937 rng(1);
        std::string text = slurp(tp);
        history::TpFile before;
        const auto f0 = Clock::now();
        for (int s = 0; s < saves; ++s) {
            if (s > 0) {
                for (int k = 0; k < 3; ++k) {
                    const auto& [line, l] = items[rng() % items.size()];
                    set_value(text, line, l, std::to_string(rng() % 100000) + ".5");
                }
                if (s % 10 == 0) set_value(text, target.first, label, std::to_string(s) + ".25");
            }
            history::TpFile after;
            after.exists = true;
            after.bytes = text;
            after.sha256 = history::sha256_hex(text);
            after.path = tp;
            history::SaveStart st;
            st.station = station;
            st.mode = 2;
            st.started = history::moment(1767225600 + 3600 * s);
            st.user = "bench";
            st.host = "bench";
            st.reason = "synthetic save " + std::to_string(s + 1);
            const std::int64_t id = h.begin(st);
            history::SaveEnd e;
            e.ended = st.started;
            h.finish(id, e, s ? &before : nullptr, &after);
            before = std::move(after);
            // CPU of one settling, the median of 50.
            if (s == std::min(99, saves / 2) || s == saves - 1) {
                std::vector<double> c;
                for (int k = 0; k < 50; ++k) {
                    const double c0 = cpu_now();
                    h.settle(station);
                    c.push_back(cpu_now() - c0);
                }
                (s == saves - 1 ? settleLate : settleEarly) = stat_of(c).median;
            }
        }
        std::printf("  %d synthetic saves recorded in %.1f s; database %.1f MB\n", saves,
                    std::chrono::duration<double>(Clock::now() - f0).count(), fs::file_size(db) / 1048576.0);
    }
    // tusave log as a user runs it, and tusave --version: the floor of any tusave command
    // (starting the program) on this machine at this moment.
    const std::string exe = kBuild + "/tools/tusave/tusave";
    const std::string logOut = home + "/log.out";
    std::vector<double> floors, logCpu;
    for (int i = 0; i < runs; ++i) {
        const Run r = run({exe, "log", "--project", "DEMO", "--station", station, "--tag", tag, "--item", label}, logOut);
        if (r.status != 0) die("tusave log failed");
        logs.push_back(r.wall);
        logCpu.push_back(r.cpu);
        floors.push_back(run({exe, "--version"}, "/dev/null").wall);
    }
    {
        const std::string text = slurp(logOut);
        logLines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    }
    const Stat logStat = stat_of(logs);
    logWall = logStat.median;
    if (logLines < static_cast<std::size_t>(saves / 10)) die("tusave log listed " + std::to_string(logLines) + " changes");

    struct Row {
        std::string id, what, goal;
        double median, min;
        bool pass;
        std::string detail;
    };
    const Stat h1 = stat_of(unchanged), h2 = stat_of(first);
    const double h5 = settleLate / std::max(settleEarly, 1e-9);
    std::vector<Row> rows = {
        {"H1", std::to_string(blocks) + " blocks, unchanged: recording CPU / save CPU", "<= 0.05", h1.median, h1.min,
         h1.median <= 0.05, std::to_string(unchanged.size()) + " saves; TP file " + std::to_string(tpBytes / 1024) + " KB"},
        {"H2", std::to_string(blocks) + " blocks, first save: recording CPU / save CPU", "<= 0.15", h2.median, h2.min,
         h2.median <= 0.15, std::to_string(first.size()) + " saves"},
        {"H3", "database growth per unchanged save (bytes)", "<= 2048", growth, growth, growth <= 2048,
         "over " + std::to_string(unchanged.size()) + " saves"},
        {"H4", "tusave log of one item over " + std::to_string(saves) + " saves (wall s)", "< 0.1", logWall, logStat.min,
         logWall < 0.1,
         std::to_string(logLines) + " changes listed; CPU " + std::to_string(stat_of(logCpu).median).substr(0, 5) +
             " s; tusave --version " + std::to_string(stat_of(floors).median).substr(0, 5) + " s wall"},
        {"H5", "settling a station after " + std::to_string(saves) + " saves / after 100 (CPU)", "<= 1.5", h5, h5,
         h5 <= 1.5,
         std::to_string(settleLate * 1e6).substr(0, 6) + " us against " + std::to_string(settleEarly * 1e6).substr(0, 6) +
             " us"},
    };
    std::printf("\n%-4s %-58s %-8s %10s %10s  %-7s %s\n", "", "measure", "goal", "median", "min", "verdict", "detail");
    for (const Row& r : rows)
        std::printf("%-4s %-58s %-8s %10.4f %10.4f  %-7s %s\n", r.id.c_str(), r.what.c_str(), r.goal.c_str(), r.median,
                    r.min, r.pass ? "pass" : "FAIL", r.detail.c_str());

    const std::string commit = shell("git -C '" + kSource + "' rev-parse --short HEAD 2>/dev/null");
    char date[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y%m%dT%H%M%SZ", std::gmtime(&now));
    nlohmann::ordered_json j;
    j["benchmark"] = "history";
    j["commit"] = commit;
    j["dirty"] = !shell("git -C '" + kSource + "' status --porcelain --untracked-files=no 2>/dev/null").empty();
    j["date"] = date;
    j["machine"] = {{"cpu", cpuModel}, {"cpus", cpus}, {"pinnedTo", g_cpu}};
    j["blocks"] = blocks;
    j["tpFileBytes"] = tpBytes;
    j["syntheticSaves"] = saves;
    for (const Row& r : rows)
        j["table"].push_back({{"id", r.id}, {"measure", r.what}, {"goal", r.goal}, {"median", r.median},
                              {"min", r.min}, {"pass", r.pass}, {"detail", r.detail}});
    fs::create_directories(outDir);
    const std::string out = outDir + "/" + (commit.empty() ? "unknown" : commit) + "-" + date + "-history.json";
    std::ofstream(out) << j.dump(2) << "\n";
    std::printf("\nwritten: %s\n", out.c_str());
    if (!keep) fs::remove_all(home);
    return 0;
}
