// The edit file update step on a large sample station against a plain program that reads and
// rewrites, once each, the files the step rewrites, with the same durability (temporary beside
// the file, one sync of the data, renames, one sync of the folders). Runs interleaved pairs on
// one CPU and prints each pair, the median and minimum of step / plain, and a verdict against
// the goal (at most 2).
//
//     edit_step_bench [--blocks N] [--pairs N] [--dir D] [--keep] [--only step|plain]
//
// Wall time is what the goal is about; CPU time (user + system) is printed beside it, as it
// varies less while other programs load the disk.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "LdTuSaveCtrl.h"
#include "ZclNthmi/zcl_host.h"
#include "core/station.h"
#include "libqvecommon/qvecommon_host.h"
#include "sample.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kGoal = 2.0;

struct Options {
    int blocks = 8000;
    int pairs = 7;
    std::string dir;
    bool keep = false;
    std::string only;   // "step" or "plain": run that one alone (for profiling)
};

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "edit_step_bench: %s\n", what.c_str());
    std::exit(2);
}

std::vector<std::uint8_t> slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The plain program: every file read once, written to a temporary beside it; one syncfs; the
// renames; one more syncfs for the folders.
void plain_rewrite(const std::vector<std::string>& files) {
    std::vector<std::string> temps;
    temps.reserve(files.size());
    std::vector<char> buf;
    int anyFd = -1;
    for (const std::string& path : files) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st{};
        if (fd < 0 || ::fstat(fd, &st) != 0) die(path + ": cannot open");
        buf.resize(static_cast<std::size_t>(st.st_size));
        if (::read(fd, buf.data(), buf.size()) != static_cast<ssize_t>(buf.size())) die(path + ": short read");
        ::close(fd);
        const auto slash = path.rfind('/');
        std::string temp = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".plain.tmp";
        int t = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (t < 0 || ::write(t, buf.data(), buf.size()) != static_cast<ssize_t>(buf.size())) die(temp + ": write");
        if (anyFd < 0) anyFd = t;
        else ::close(t);
        temps.push_back(std::move(temp));
    }
    if (anyFd >= 0 && ::syncfs(anyFd) != 0) die("syncfs");
    for (std::size_t i = 0; i < files.size(); ++i)
        if (::rename(temps[i].c_str(), files[i].c_str()) != 0) die(files[i] + ": rename");
    if (anyFd >= 0) {
        if (::syncfs(anyFd) != 0) die("syncfs");
        ::close(anyFd);
    }
}

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double cpu_seconds() {
    struct rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return s(ru.ru_utime) + s(ru.ru_stime);
}

// Wall and CPU seconds of one run of f.
struct Cost {
    double wall = 0, cpu = 0;
};
template <class F>
Cost measure(F f) {
    const auto t = Clock::now();
    const double c = cpu_seconds();
    f();
    return {seconds_since(t), cpu_seconds() - c};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) die(a + " needs a value");
            return argv[++i];
        };
        if (a == "--blocks") o.blocks = std::stoi(value());
        else if (a == "--pairs") o.pairs = std::stoi(value());
        else if (a == "--dir") o.dir = value();
        else if (a == "--keep") o.keep = true;
        else if (a == "--only") o.only = value();
        else die("unknown option " + a + " (--blocks N, --pairs N, --dir D, --keep, --only step|plain)");
    }
    if (o.blocks < 1 || o.pairs < 1) die("--blocks and --pairs take positive numbers");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const Options opt = parse(argc, argv);

    // One CPU for both programs, so the ratio does not depend on where each one ran.
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    const int cpu = std::max(0, sched_getcpu());
    CPU_SET(cpu, &cpus);
    if (sched_setaffinity(0, sizeof cpus, &cpus) != 0) std::perror("sched_setaffinity");

    std::string dir = opt.dir;
    if (dir.empty()) {
        std::string tmpl = (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + std::string("/edit-bench-XXXXXX");
        if (!mkdtemp(tmpl.data())) die("mkdtemp");
        dir = tmpl;
    }
    setenv("TUSAVE_HOME", dir.c_str(), 1);

    sample::Description d = sample::default_description();
    d.stations.resize(1);
    sample::Station& s = d.stations[0];
    s.blocks = opt.blocks;
    s.blocksPerDrawing = std::max(s.blocksPerDrawing, (opt.blocks + 254) / 255);
    s.anMessages = 200;
    auto t0 = Clock::now();
    const sample::Result result = sample::build(d, dir);
    const sample::StationResult& st = result.stations[0];
    std::printf("sample: %d blocks, %d per drawing, built in %.1f s at %s\n", s.blocks, s.blocksPerDrawing,
                seconds_since(t0), dir.c_str());

    // The station answers in process.
    {
        std::string ws((std::istreambuf_iterator<char>(*std::make_unique<std::ifstream>(result.workstationJson))), {});
        const auto at = ws.find("\"controlBus\"");
        if (at == std::string::npos) die("workstation.json has no controlBus");
        const auto q1 = ws.find('"', ws.find(':', at) + 1), q2 = ws.find('"', q1 + 1);
        ws.replace(q1, q2 - q1 + 1, "\"inproc:bench\"");
        std::ofstream(result.workstationJson, std::ios::trunc) << ws;
    }
    auto station = std::make_shared<fcs::Station>(fcs::load_config(fs::path(st.stationJsonPath).parent_path().string()));
    zcl::register_inproc("bench", [station](std::span<const std::uint8_t> req) {
        fcs::Reply r = station->handle(req);
        return r.frame.empty() ? std::optional<zcl::Frame>() : std::optional<zcl::Frame>(r.frame);
    });
    std::vector<std::string> errors;
    ws::set_message_sink([&errors](const char* line) {
        if (std::strncmp(line, "ERR:", 4) == 0) errors.emplace_back(line);
        return 0u;
    });

    // The steps before the edit file update, once.
    const auto expected = sample::expected_edit_files(d, st);
    LdTuSaveCtrlInf inf;
    LdTuSaveRecordTbl tbl;
    if (LdTuSaveCtrlInit("P1", "P2", d.project.c_str(), st.name.c_str(), 2, 0, 7, &inf) != 0) die("init failed");
    if (LdTuSaveCtrlDBRead(&inf) != 0) die("image load failed");
    if (LdTuSaveCtrlGetFcs(&inf, &tbl) != 0) die("upload failed");

    // The files the step rewrites: those holding a saved block, their working copies, the
    // station's edit file and the AN message file.
    std::vector<std::string> files = {st.anMsgPath};
    for (const sample::EditFileInfo& f : st.editFiles) {
        bool listed = false;
        for (int no : f.blocks) listed = listed || st.blocks[static_cast<std::size_t>(no - 1)].listed;
        if (!listed) continue;
        files.push_back(f.path);
        if (!f.workCopy.empty()) files.push_back(f.workCopy);
    }
    files.push_back(st.stationEditPath);
    std::uint64_t bytes = 0;
    for (const auto& f : files) bytes += fs::file_size(f);
    std::printf("step: %zu saved blocks; %zu files rewritten, %.1f MB; CPU %d\n", tbl.size(), files.size(),
                static_cast<double>(bytes) / 1e6, cpu);

    // A first run proves the step does its work: every file as the builder computes it.
    if (LdTuSaveCtrlUpdateEditFile(&inf, &tbl) != 0 || !errors.empty())
        die("the step failed: " + (errors.empty() ? std::string("no line") : errors.front()));
    for (const auto& [path, want] : expected)
        if (slurp(path) != want) die(path + ": not what a good save leaves");

    auto runStep = [&] {
        if (LdTuSaveCtrlUpdateEditFile(&inf, &tbl) != 0) die("the step failed");
    };
    auto runPlain = [&] { plain_rewrite(files); };
    if (!opt.only.empty()) {
        for (int p = 0; p < opt.pairs; ++p) {
            const Cost c = opt.only == "plain" ? measure(runPlain) : measure(runStep);
            std::printf("%s: %.3f s wall, %.3f s CPU\n", opt.only.c_str(), c.wall, c.cpu);
        }
        return 0;
    }
    std::vector<double> ratios, cpuRatios, steps, plains;
    std::printf("\n%5s %10s %10s %8s   %10s %10s %8s\n", "pair", "step s", "plain s", "ratio", "step CPU", "plain CPU",
                "ratio");
    for (int p = 0; p < opt.pairs; ++p) {
        Cost step, plain;
        // Alternate which one goes first, so neither always meets the other's dirty pages.
        if (p % 2 == 0) {
            step = measure(runStep);
            plain = measure(runPlain);
        } else {
            plain = measure(runPlain);
            step = measure(runStep);
        }
        steps.push_back(step.wall);
        plains.push_back(plain.wall);
        ratios.push_back(step.wall / plain.wall);
        cpuRatios.push_back(step.cpu / plain.cpu);
        std::printf("%5d %10.3f %10.3f %8.2f   %10.3f %10.3f %8.2f\n", p + 1, step.wall, plain.wall, ratios.back(),
                    step.cpu, plain.cpu, cpuRatios.back());
        std::fflush(stdout);
    }
    const double med = median(ratios), min = *std::min_element(ratios.begin(), ratios.end());
    std::printf("\nstep  median %.3f s, min %.3f s\nplain median %.3f s, min %.3f s\n", median(steps),
                *std::min_element(steps.begin(), steps.end()), median(plains),
                *std::min_element(plains.begin(), plains.end()));
    std::printf("CPU ratio median %.2f, min %.2f\n", median(cpuRatios),
                *std::min_element(cpuRatios.begin(), cpuRatios.end()));
    std::printf("ratio median %.2f, min %.2f (goal <= %.1f): %s\n", med, min, kGoal,
                med <= kGoal ? "PASS" : "FAIL");

    LdTuSaveCtrlEnd(&inf, 0);
    ws::set_message_sink(nullptr);
    zcl::unregister_inproc("bench");
    if (!opt.keep && opt.dir.empty()) fs::remove_all(dir);
    return med <= kGoal ? 0 : 1;
}
