// The crash loop: saves of a small sample station, run by the tusave program against a
// simulated station that delays every reply, killed with SIGKILL at a random moment (a random
// step, then a random delay into it; seeded, so a run repeats). After each kill every file of
// the workstation folder must be the one from before the save or the one a good save leaves,
// the generation lock must be free, and the next save must succeed and leave the good result.
//
//     crashloop [--runs N] [--seed S] [--delay-ms D] [--keep]
//
// Exit status 0 when every run held, 1 otherwise (each violation is said on stderr).
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e_fcssim.h"
#include "project_files.h"
#include "sample.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using project_files::Files;
using project_files::snapshot;

// What a killed writer leaves: a temporary of a replace-whole write (".<name>.<pid>.<n>.tmp"),
// or the TP writer's "<TP file>.tmp", only complete: the text of the good save, which the writer
// removes after the archive copy (the next good save replaces and removes one left by a kill
// in between).
bool is_temp(const std::string& rel, const std::string& bytes, const Files& good) {
    const fs::path path(rel);
    const std::string base = path.filename().string();
    if (base.size() <= 5 || !base.ends_with(".tmp")) return false;
    if (base[0] == '.') return true;
    const auto tp = good.find(rel.substr(0, rel.size() - 4));
    return path.parent_path().filename() == "TP" && tp != good.end() && tp->second == bytes;
}

// The steps of the save, by their trace lines; a kill aims at one of them.
const char* const kSteps[] = {"LdTuSaveCtrlInit",           "LdTuSaveCtrlCheckTime",     "LdTuSaveCtrlDBRead",
                              "LdTuSaveCtrlGetFcs",         "LdTuSaveCtrlDbWrite",       "LdTuSaveCtrlUpdateEditFile",
                              "LdTuSaveCtrlCreateParmStr", "LdTuSaveCtrlUpdateParmFile", "LdTuSaveCtrlFcsUnlock"};

struct Loop {
    std::string root, pristine, work, trace;
    Files before, good;

    pid_t start_save() const {
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("TUSAVE_HOME", work.c_str(), 1);
            setenv("TUSAVE_TRACE", trace.c_str(), 1);
            setenv("TUSAVE_FIXED_TIME", "1767225600", 1);
            setenv("TZ", "UTC", 1);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            const std::string exe = std::string(TUSAVE_BUILD_DIR) + "/tools/tusave/tusave";
            execl(exe.c_str(), exe.c_str(), "save", "--project", "DEMO", "--station", "FCS0101", "--raw",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }
    static int wait_for(pid_t pid) {
        int st = 0;
        waitpid(pid, &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
    }
    void fresh() const {
        std::error_code ec;
        fs::remove_all(work, ec);
        fs::copy(pristine, work, fs::copy_options::recursive);
        fs::remove(trace, ec);
    }
    bool trace_has(const std::string& step) const {
        std::ifstream in(trace);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        return text.find(" " + step + " Start") != std::string::npos;
    }
    // The lock file can be locked: no process holds the station.
    bool lock_free() const {
        const std::string path = work + "/lock/DEMO/FCS0101.genlock";
        const int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0) return !fs::exists(path);
        const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
        return free;
    }
};

}  // namespace

int main(int argc, char** argv) {
    unsigned runs = 50, seed = 1, delayMs = 4;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> unsigned { return i + 1 < argc ? static_cast<unsigned>(std::stoul(argv[++i])) : 0; };
        if (a == "--runs") runs = next();
        else if (a == "--seed") seed = next();
        else if (a == "--delay-ms") delayMs = next();
        else if (a == "--keep") keep = true;
        else {
            std::fprintf(stderr, "usage: crashloop [--runs N] [--seed S] [--delay-ms D] [--keep]\n");
            return 2;
        }
    }
    const auto t0 = Clock::now();
    char tmpl[] = "/tmp/tusave-crashloop-XXXXXX";
    if (!mkdtemp(tmpl)) return 2;
    Loop loop;
    loop.root = tmpl;
    loop.pristine = loop.root + "/pristine";
    loop.work = loop.root + "/work";
    loop.trace = loop.root + "/trace.txt";

    sample::Description d = sample::default_description();
    d.stations.resize(1);
    d.stations[0].blocks = 24;
    d.stations[0].anMessages = 6;
    d.stations[0].autoBackup = true;
    sample::BuildOptions o;
    o.tool = TUSAVE_BUILD_DIR "/tools/shgsave/shgsave";
    const sample::Result res = sample::build(d, loop.pristine, o);
    const std::string scenario = loop.root + "/delays.json";
    std::ofstream(scenario) << R"({"rules": [{"command": "any", "times": 0, "delayMs": )" << delayMs << "}]}";
    e2e::Fcssim sim(loop.pristine, scenario);
    if (sim.device().empty()) {
        std::fprintf(stderr, "crashloop: fcssim did not start\n");
        return 2;
    }
    {
        nlohmann::json ws;
        std::ifstream(res.workstationJson) >> ws;
        ws["controlBus"] = sim.device();
        std::ofstream(res.workstationJson, std::ios::trunc) << ws.dump(2);
    }
    loop.before = snapshot(loop.pristine);

    // The good result, and how long a save takes.
    loop.fresh();
    const auto g0 = Clock::now();
    if (Loop::wait_for(loop.start_save()) != 0) {
        std::fprintf(stderr, "crashloop: the good save failed\n");
        return 1;
    }
    const auto goodMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g0).count();
    loop.good = snapshot(loop.work);

    std::mt19937 rng(seed);
    unsigned held = 0;
    std::map<std::string, unsigned> killedIn;
    for (unsigned run = 1; run <= runs; ++run) {
        std::vector<std::string> bad;
        loop.fresh();
        // Aim: a step, then up to 20 ms into it (the upload lasts longer than that: a kill
        // anywhere within it, by a delay of up to the whole save).
        const std::string step = kSteps[rng() % std::size(kSteps)];
        const auto limit = step == "LdTuSaveCtrlGetFcs" ? static_cast<unsigned>(goodMs) : 20u;
        const auto after = std::chrono::microseconds(rng() % (limit * 1000u + 1));
        const pid_t pid = loop.start_save();
        const auto deadline = Clock::now() + std::chrono::milliseconds(goodMs * 4 + 2000);
        while (!loop.trace_has(step) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::this_thread::sleep_for(after);
        kill(pid, SIGKILL);
        const int status = Loop::wait_for(pid);
        std::string where = step;
        for (const char* s : kSteps)
            if (loop.trace_has(s)) where = s;
        where = status == 128 + SIGKILL ? "killed in " + where : "ended before the kill (" + std::to_string(status) + ")";
        ++killedIn[status == 128 + SIGKILL ? where.substr(10) : "(done)"];

        // Old or new, file by file; a killed writer's temporary is allowed until the next save.
        const Files after1 = snapshot(loop.work);
        std::set<std::string> paths;
        for (const Files* f : std::array<const Files*, 3>{&loop.before, &loop.good, &after1})
            for (const auto& [p, _] : *f) paths.insert(p);
        for (const auto& p : paths) {
            auto get = [&p](const Files& f) -> const std::string* {
                auto it = f.find(p);
                return it == f.end() ? nullptr : &it->second;
            };
            const std::string *a = get(after1), *b = get(loop.before), *g = get(loop.good);
            auto same = [](const std::string* x, const std::string* y) { return (!x && !y) || (x && y && *x == *y); };
            if (!same(a, b) && !same(a, g) && !(a && !b && !g && is_temp(p, *a, loop.good)))
                bad.push_back(p + (a ? (b || g ? " is neither old nor new" : " appeared") : " is gone"));
        }
        if (!loop.lock_free()) bad.push_back("the generation lock is held");
        // The next save succeeds and leaves the good result, temporaries gone.
        if (const int rc = Loop::wait_for(loop.start_save()); rc != 0)
            bad.push_back("the next save failed (" + std::to_string(rc) + ")");
        const Files after2 = snapshot(loop.work);
        if (after2 != loop.good) {
            for (const auto& [p, bytes] : after2)
                if (!loop.good.count(p) || loop.good.at(p) != bytes) bad.push_back("after the next save: " + p + " differs");
            for (const auto& [p, _] : loop.good)
                if (!after2.count(p)) bad.push_back("after the next save: " + p + " is missing");
        }
        std::printf("run %2u: %s, %s\n", run, where.c_str(), bad.empty() ? "held" : "VIOLATED");
        for (const auto& b : bad) std::fprintf(stderr, "run %u (%s): %s\n", run, where.c_str(), b.c_str());
        held += bad.empty();
        std::fflush(stdout);
    }
    const auto secs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count() / 1000.0;
    std::printf("crash loop: %u of %u runs held (seed %u, good save %lld ms, %.1f s in all); kills by step:", held,
                runs, seed, static_cast<long long>(goodMs), secs);
    for (const auto& [s, n] : killedIn) std::printf(" %s %u,", s.c_str(), n);
    std::printf("\n");
    if (!keep) {
        std::error_code ec;
        fs::remove_all(loop.root, ec);
    }
    return held == runs ? 0 : 1;
}
