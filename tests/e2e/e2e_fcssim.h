// What the end-to-end tests share: fcssim as a child process, a sample workstation served by
// it, tusave run in it as a user runs it, and reading a whole file.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>

#include "project_files.h"
#include "sample.h"

namespace e2e {

constexpr long kT0 = 1767225600;   // 2026-01-01 00:00:00 UTC
inline const std::string kTusave = TUSAVE_BUILD_DIR "/tools/tusave/tusave";
inline const std::string kFcssim = TUSAVE_BUILD_DIR "/station/fcssim";

using project_files::read_file, project_files::read_text;
inline std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
}

// The oracle after a good save: every saved record of every fetched block in the station's database
// file equals the station's memory. Returns how many records were compared.
inline std::size_t expect_saved_records_equal_memory(const sample::StationResult& s) {
    const std::vector<std::uint8_t> db = read_file(s.databasePath), memory = read_file(s.memoryPath);
    std::size_t saved = 0;
    for (const auto& b : s.blocks)
        for (const auto& r : b.records) {
            if (!b.exists() || !b.fetched || !r.saved) continue;
            ++saved;
            EXPECT_TRUE(r.offset + r.size <= db.size() &&
                        std::memcmp(db.data() + r.offset, memory.data() + r.offset, r.size) == 0)
                << s.name << " block " << b.number << " record " << r.recNo;
        }
    return saved;
}

// The paths where the files after a failed or killed save are neither those from before nor those
// a good save leaves (a file gone, left behind or of other bytes), each with why; allowed(path,
// after, before, good) passes a file over. A file absent from a set is nullptr.
using Allow = std::function<bool(const std::string&, const std::string*, const std::string*, const std::string*)>;
inline std::vector<std::string> neither_old_nor_new(const project_files::Files& before, const project_files::Files& good,
                                                    const project_files::Files& after, const Allow& allowed) {
    std::set<std::string> paths;
    for (const auto* f : {&before, &good, &after})
        for (const auto& [p, _] : *f) paths.insert(p);
    auto get = [](const project_files::Files& f, const std::string& p) { auto it = f.find(p); return it == f.end() ? nullptr : &it->second; };
    auto same = [](const std::string* x, const std::string* y) { return (!x && !y) || (x && y && *x == *y); };
    std::vector<std::string> bad;
    for (const auto& p : paths) {
        const std::string *a = get(after, p), *o = get(before, p), *g = get(good, p);
        if (!same(a, o) && !same(a, g) && !allowed(p, a, o, g))
            bad.push_back(p + (a ? (o || g ? " is neither old nor new" : " left behind") : " is gone"));
    }
    return bad;
}

// Exit status of a shell command (-1 when it did not end normally); its stdout lines to *lines.
inline int shell(const std::string& cmd, std::vector<std::string>* lines = nullptr) {
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    for (std::size_t at = 0, nl; lines && at < out.size(); at = nl + 1) {
        nl = std::min(out.find('\n', at), out.size());
        lines->push_back(out.substr(at, nl - at));
    }
    const int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Points the control bus of a workstation.json at device, keeping its other keys.
inline void set_bus(const std::string& workstationJson, const std::string& device) {
    nlohmann::json ws;
    std::ifstream(workstationJson) >> ws;
    ws["controlBus"] = device;
    std::ofstream(workstationJson, std::ios::trunc) << ws.dump(2);
}

// fcssim as a child process on an ephemeral loopback port; stopped with SIGTERM on every way out.
class Fcssim {
public:
    explicit Fcssim(const std::string& home, const std::string& scenario = "") {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);   // never outlives a test run that died
            dup2(out[1], 1), close(out[0]), close(out[1]);
            const char* argv[] = {kFcssim.c_str(), "--home", home.c_str(), "--listen", "udp:127.0.0.1:0",
                                  scenario.empty() ? nullptr : "--scenario", scenario.c_str(), nullptr};
            execv(kFcssim.c_str(), const_cast<char* const*>(argv));
            _exit(127);
        }
        close(out[1]);
        std::string line;
        pollfd p{out[0], POLLIN, 0};
        char c;
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1 && read(out[0], &c, 1) == 1) line += c;
        close(out[0]);
        if (auto at = line.find("listening on "); at != std::string::npos)
            device_ = line.substr(at + 13, line.find_first_of("\r\n", at) - at - 13);
    }
    ~Fcssim() { if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0); }
    const std::string& device() const { return device_; }

private:
    pid_t pid_ = -1;
    std::string device_;
};

// A sample workstation in a temporary folder whose stations fcssim serves; the workstation's
// bus device is the one fcssim listens on. Stop() (or the destructor) removes it all.
struct SampleHome {
    std::string dir;
    std::unique_ptr<sample::Result> result;
    std::unique_ptr<Fcssim> sim;

    // False when the folder could not be made or fcssim did not report its port.
    bool Start(const sample::Description& d) {
        char tmpl[] = "/tmp/tusave-e2e-XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        dir = tmpl;
        result = std::make_unique<sample::Result>(sample::build(d, dir));
        return Restart();
    }
    // fcssim started again (it reads the stations' memory when it starts), with a scenario file.
    bool Restart(const std::string& scenario = "") {
        sim.reset();
        sim = std::make_unique<Fcssim>(dir, scenario);
        set_bus(result->workstationJson, sim->device());
        return !sim->device().empty();
    }
    void Stop() {
        std::error_code ec;
        sim.reset(), result.reset(), std::filesystem::remove_all(dir, ec), dir.clear();
    }
    ~SampleHome() { Stop(); }
};

// tusave run as a user runs it, in a sample workstation served by fcssim: stdout lines returned,
// the exit status in status_, stderr (kept outside the workstation folder) in err_.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override { Build(sample::default_description()); }
    void TearDown() override { Build(std::nullopt); }
    // noCustom: without the custom files of the backup tool.
    void Build(std::optional<sample::Description> d, bool noCustom = false) {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove(dir_ + ".stderr", ec);
        home_.Stop(), dir_.clear();
        if (!d) return;
        for (auto& st : d->stations)
            if (noCustom) st.customFolders.clear(), st.customFiles.clear();
        ASSERT_TRUE(home_.Start(*d)) << "fcssim did not report its port";
        dir_ = home_.dir;
    }
    // fcssim started again with a scenario of these JSON rules ("" for none).
    void RestartStation(const std::string& rules = "") {
        const std::string file = dir_ + "/scenario.json";
        if (!rules.empty()) std::ofstream(file) << R"({"rules": [)" << rules << "]}";
        ASSERT_TRUE(home_.Restart(rules.empty() ? "" : file));
    }
    // Writes v at item offset `at` of record 2 of the first block of model in the station's memory.
    void SetStationFloat(const std::string& model, std::uint32_t at, float v) {
        const sample::StationResult& st = home_.result->stations[0];
        for (const sample::BlockInfo& b : st.blocks)
            for (const sample::RecordInfo& r : b.records)
                if (b.model == model && r.recNo == 2) {
                    std::fstream f(st.memoryPath, std::ios::in | std::ios::out | std::ios::binary);
                    f.seekp(static_cast<std::streamoff>(r.offset + at));
                    f.write(reinterpret_cast<const char*>(&v), sizeof v);
                    return;
                }
        FAIL() << "no block of model " << model;
    }
    // The shell command that runs exe with args, env (assignments) before it, at the fixed time
    // `time` unless it is 0; exec: in place of the shell.
    std::string command(const std::string& exe, const std::string& args, const std::string& env = "",
                        long time = kT0, bool exec = false) const {
        const std::string fixed = time ? " TUSAVE_FIXED_TIME=" + std::to_string(time) : "";
        return "TUSAVE_HOME='" + dir_ + "'" + fixed + " TZ=UTC " + env + (exec ? " exec '" : " '") + exe + "' " + args +
               " 2>'" + dir_ + ".stderr'";
    }
    std::vector<std::string> run(const std::string& exe, const std::string& args, const std::string& env = "",
                                 long time = kT0) {
        std::vector<std::string> lines;
        status_ = shell(command(exe, args, env, time), &lines), err_ = read_text(dir_ + ".stderr");
        return lines;
    }
    std::vector<std::string> tusave(const std::string& args, const std::string& env = "", long time = kT0) {
        return run(kTusave, args, env, time);
    }
    int exit_of(const std::string& args, const std::string& env = "", long time = kT0) { return tusave(args, env, time), status_; }
    nlohmann::json json(const std::string& args, long time = kT0) {
        return nlohmann::json::parse(joined(tusave(args, "", time)), nullptr, false);
    }
    SampleHome home_;
    std::string dir_, err_;
    int status_ = -1;
};

// The lines that start with prefix.
inline std::vector<std::string> starting_with(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& l : lines) if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}
// The first line of lines that starts with prefix (end() when none).
inline auto find_prefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

}  // namespace e2e
