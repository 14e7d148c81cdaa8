// The crash loop: saves of a small sample station by the tusave program against a simulated
// station that delays every reply, killed with SIGKILL at a random (seeded) moment: a random step,
// then a random delay into it. After each kill every file of the workstation folder is the one
// from before or the one a good save leaves, the lock is free, the history database is whole
// and shows the killed save interrupted (or done, killed after its record), and the next save
// succeeds, leaves the good result and is recorded with the values of the TP file it wrote.
//     crashloop [--runs N] [--seed S] [--delay-ms D] [--keep]
// Exit status 0 when every run held, 1 otherwise (each violation is said on stderr).
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>

#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "e2e_fcssim.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using project_files::Files;

// The project files but the history database (checked on its own).
Files snapshot(const std::string& root) {
    Files f = project_files::snapshot(root);
    std::erase_if(f, [](const auto& e) { return e.first.find("/HISTORY/") != std::string::npos; });
    return f;
}

// What a killed writer leaves: a temporary of a replace-whole write (".<name>.<pid>.<n>.tmp"), or
// the TP writer's "<TP file>.tmp" only complete (the next good save replaces and removes it).
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
            setpgid(0, 0);   // the save and its supervisor: one group, waited for together
            setenv("TUSAVE_HOME", work.c_str(), 1);
            setenv("TUSAVE_TRACE", trace.c_str(), 1);
            setenv("TUSAVE_FIXED_TIME", "1767225600", 1);
            setenv("TZ", "UTC", 1);
            dup2(open("/dev/null", O_WRONLY), 1), dup2(1, 2);
            const std::string exe = std::string(TUSAVE_BUILD_DIR) + "/tools/tusave/tusave";
            execl(exe.c_str(), exe.c_str(), "save", "--project", "DEMO", "--station", "FCS0101", "--raw",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }
    static int wait_for(pid_t pid) {
        int st = 0;
        return waitpid(pid, &st, 0), WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
    }
    // After its supervisor ended: the rest of the save's group (orphans come to this process,
    // a subreaper) must end by itself within 2 s; false when it had to be killed.
    static bool group_ends(pid_t pgid) {
        const auto until = Clock::now() + std::chrono::seconds(2);
        for (;;) {
            int st = 0;
            const pid_t r = waitpid(-pgid, &st, WNOHANG);
            if (r < 0) return true;   // ECHILD: none left
            if (r > 0) continue;
            if (Clock::now() >= until) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        kill(-pgid, SIGKILL);
        while (waitpid(-pgid, nullptr, 0) > 0) continue;
        return false;
    }
    void fresh() const {
        std::error_code ec;
        fs::remove_all(work, ec), fs::remove(trace, ec);
        fs::copy(pristine, work, fs::copy_options::recursive);
    }
    // tusave with args, as the next command on the station; its exit status and stdout.
    int tusave(const std::string& args, std::string* out = nullptr) const {
        std::vector<std::string> lines;
        const int rc = e2e::shell("TUSAVE_HOME='" + work + "' TZ=UTC '" + e2e::kTusave + "' " + args + " 2>/dev/null", &lines);
        if (out) *out = e2e::joined(lines);
        return rc;
    }
    // The recorded saves of the station, oldest first; a problem goes to bad.
    nlohmann::json saves(std::vector<std::string>& bad) const {
        const std::string db = work + "/projects/DEMO/HISTORY/tuning.sqlite";
        if (fs::exists(db)) {
            sqlite3* h = nullptr;
            std::string result;
            auto row = [](void* r, int, char** v, char**) { return *static_cast<std::string*>(r) += v[0] ? v[0] : "", 0; };
            if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
                sqlite3_exec(h, "PRAGMA integrity_check", row, &result, nullptr);
            sqlite3_close(h);
            if (result != "ok") bad.push_back("the history database is not whole: " + result);
        }
        std::string out;
        const bool ran = tusave("history --project DEMO --station FCS0101 --json", &out) == 0;
        nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
        if (!ran || !j.is_array()) {
            bad.push_back(ran ? "tusave history --json gave no array" : "tusave history failed");
            return nlohmann::json::array();
        }
        std::reverse(j.begin(), j.end());
        return j;
    }
    // The newest save was recorded whole: its values rebuild the TP file now.
    void recorded_whole(const nlohmann::json& s, std::vector<std::string>& bad, const std::string& when) const {
        const std::string id = std::to_string(s.value("save", 0));
        if (s["tpSha256"].is_null()) bad.push_back(when + ": save " + id + " recorded no TP file");
        else if (const int rc = tusave("diff --project DEMO --station FCS0101 --from " + id); rc != 0)
            bad.push_back(when + ": the values of save " + id + " do not rebuild the TP file (diff " + std::to_string(rc) + ")");
    }
    bool trace_has(const std::string& step) const {
        return e2e::read_text(trace).find(" " + step + " Start") != std::string::npos;
    }
    // The lock file can be locked: no process holds the station.
    bool lock_free() const {
        const std::string path = work + "/lock/DEMO/FCS0101.genlock";
        const int fd = open(path.c_str(), O_RDONLY);
        const bool free = fd < 0 ? !fs::exists(path) : flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (fd >= 0) close(fd);
        return free;
    }
};

}  // namespace

int main(int argc, char** argv) {
    unsigned runs = 50, seed = 1, delayMs = 4;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        unsigned* v = a == "--runs" ? &runs : a == "--seed" ? &seed : a == "--delay-ms" ? &delayMs : nullptr;
        if (v && i + 1 < argc) *v = static_cast<unsigned>(std::stoul(argv[++i]));
        else if (a == "--keep") keep = true;
        else return std::fprintf(stderr, "usage: crashloop [--runs N] [--seed S] [--delay-ms D] [--keep]\n"), 2;
    }
    const auto t0 = Clock::now();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    char tmpl[] = "/tmp/tusave-crashloop-XXXXXX";
    if (!mkdtemp(tmpl)) return 2;
    Loop loop{tmpl, std::string(tmpl) + "/pristine", std::string(tmpl) + "/work", std::string(tmpl) + "/trace.txt", {}, {}};

    sample::Description d = sample::default_description();
    d.stations.resize(1);
    d.stations[0].blocks = 24, d.stations[0].anMessages = 6, d.stations[0].autoBackup = true;
    const sample::Result res = sample::build(d, loop.pristine, {TUSAVE_BUILD_DIR "/tools/shgsave/shgsave"});
    const std::string scenario = loop.root + "/delays.json";
    std::ofstream(scenario) << R"({"rules": [{"command": "any", "times": 0, "delayMs": )" << delayMs << "}]}";
    e2e::Fcssim sim(loop.pristine, scenario);
    if (sim.device().empty()) return std::fprintf(stderr, "crashloop: fcssim did not start\n"), 2;
    e2e::set_bus(res.workstationJson, sim.device());
    loop.before = snapshot(loop.pristine);

    // The good result, how long a save takes, and how long from the last step's start to the end
    // (end processing and the history's record).
    loop.fresh();
    const auto g0 = Clock::now();
    const pid_t good = loop.start_save();
    while (!loop.trace_has("LdTuSaveCtrlFcsUnlock") && Clock::now() - g0 < std::chrono::seconds(30))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const auto lastStep = Clock::now();
    if (Loop::wait_for(good) != 0) return std::fprintf(stderr, "crashloop: the good save failed\n"), 1;
    const auto goodMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g0).count();
    const auto tailUs = static_cast<unsigned>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - lastStep).count());
    loop.good = snapshot(loop.work);

    std::mt19937 rng(seed);
    unsigned held = 0;
    std::map<std::string, unsigned> killedIn, historyStates;
    for (unsigned run = 1; run <= runs; ++run) {
        std::vector<std::string> bad;
        loop.fresh();
        // Aim: a step, then up to 20 ms into it (the upload lasts longer than that: a kill
        // anywhere within it, by a delay of up to the whole save; the last step up to the end,
        // through the history's record).
        const std::string step = kSteps[rng() % std::size(kSteps)];
        const unsigned limitUs = step == "LdTuSaveCtrlGetFcs"      ? static_cast<unsigned>(goodMs) * 1000u
                                 : step == "LdTuSaveCtrlFcsUnlock" ? tailUs
                                                                   : 20000u;
        const auto after = std::chrono::microseconds(rng() % (limitUs + 1));
        const pid_t pid = loop.start_save();
        const auto deadline = Clock::now() + std::chrono::milliseconds(goodMs * 4 + 2000);
        while (!loop.trace_has(step) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::this_thread::sleep_for(after);
        kill(pid, SIGKILL);
        const int status = Loop::wait_for(pid);
        if (!Loop::group_ends(pid)) bad.push_back("the save outlived its killed supervisor");
        std::string where = step;
        for (const char* s : kSteps)
            if (loop.trace_has(s)) where = s;
        where = status == 128 + SIGKILL ? "killed in " + where : "ended before the kill (" + std::to_string(status) + ")";
        ++killedIn[status == 128 + SIGKILL ? where.substr(10) : "(done)"];

        // Old or new, file by file; a killed writer's temporary is allowed until the next save.
        const auto temp = [&](const std::string& p, const std::string* a, const std::string* b, const std::string* g) {
            return a && !b && !g && is_temp(p, *a, loop.good);
        };
        for (const std::string& v : e2e::neither_old_nor_new(loop.before, loop.good, snapshot(loop.work), temp))
            bad.push_back(v);
        if (!loop.lock_free()) bad.push_back("the generation lock is held");
        // The history: opens and is whole; the killed save interrupted (no values) or, killed
        // after its record, done with all of them.
        const nlohmann::json killed = loop.saves(bad);
        if (killed.size() > 1) bad.push_back("the history holds " + std::to_string(killed.size()) + " saves, not one");
        std::string recorded = "no row";
        if (!killed.empty()) {
            const nlohmann::json& k = killed.back();
            const std::string state = recorded = k.value("state", "");
            if (state == "done") loop.recorded_whole(k, bad, "after the kill");
            else if (state != "interrupted") bad.push_back("the killed save shows as " + state);
            else if (!k["tpSha256"].is_null() || !k["valuesChanged"].is_null())
                bad.push_back("the interrupted save holds values");
        }
        // The next save succeeds and leaves the good result, temporaries gone.
        if (const int rc = Loop::wait_for(loop.start_save()); rc != 0)
            bad.push_back("the next save failed (" + std::to_string(rc) + ")");
        // The next save recorded, done, with the values of the TP file it wrote.
        const nlohmann::json next = loop.saves(bad);
        if (next.size() != killed.size() + 1) bad.push_back("the next save is not recorded once (" + std::to_string(next.size()) + " saves)");
        else {
            const nlohmann::json& n = next.back();
            if (n.value("state", "") != "done" || n.value("result", "") != "0x00000000")
                bad.push_back("the next save is recorded as " + n.dump());
            loop.recorded_whole(n, bad, "after the next save");
        }
        const auto none = [](const std::string&, const std::string*, const std::string*, const std::string*) { return false; };
        for (const std::string& v : e2e::neither_old_nor_new(loop.good, loop.good, snapshot(loop.work), none))
            bad.push_back("after the next save: " + v);
        ++historyStates[recorded];
        std::printf("run %2u: %s (history: %s), %s\n", run, where.c_str(), recorded.c_str(),
                    bad.empty() ? "held" : "VIOLATED");
        for (const auto& b : bad) std::fprintf(stderr, "run %u (%s): %s\n", run, where.c_str(), b.c_str());
        held += bad.empty();
        std::fflush(stdout);
    }
    const auto secs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count() / 1000.0;
    std::printf("crash loop: %u of %u runs held (seed %u, good save %lld ms, its last step %.1f ms, %.1f s in all); "
                "kills by step:", held, runs, seed, static_cast<long long>(goodMs), tailUs / 1000.0, secs);
    for (const auto& [s, n] : killedIn) std::printf(" %s %u,", s.c_str(), n);
    std::printf(" killed saves in the history:");
    for (const auto& [s, n] : historyStates) std::printf(" %s %u,", s.c_str(), n);
    std::printf("\n");
    std::error_code ec;
    if (!keep) fs::remove_all(loop.root, ec);
    return held == runs ? 0 : 1;
}
