// What the end-to-end tests share: fcssim as a child process, a sample workstation served by
// it, and reading a whole file.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <iterator>
#include <string>
#include <vector>

#include "sample.h"

namespace e2e {

inline std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
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

// Exit status of a shell command (-1 when it did not end normally); its stdout lines to *lines.
inline int shell(const std::string& cmd, std::vector<std::string>* lines = nullptr) {
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    while (fgets(buf, sizeof buf, p))
        if (lines) lines->emplace_back(buf, std::strcspn(buf, "\n"));
    const int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
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
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            const std::string exe = std::string(TUSAVE_BUILD_DIR) + "/station/fcssim";
            if (scenario.empty())
                execl(exe.c_str(), exe.c_str(), "--home", home.c_str(), "--listen", "udp:127.0.0.1:0",
                      static_cast<char*>(nullptr));
            else
                execl(exe.c_str(), exe.c_str(), "--home", home.c_str(), "--listen", "udp:127.0.0.1:0", "--scenario",
                      scenario.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string line;
        pollfd p{out[0], POLLIN, 0};
        char c;
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1 && read(out[0], &c, 1) == 1)
            line += c;
        close(out[0]);
        const std::string key = "listening on ";
        if (auto at = line.find(key); at != std::string::npos) {
            device_ = line.substr(at + key.size());
            while (!device_.empty() && (device_.back() == '\n' || device_.back() == '\r')) device_.pop_back();
        }
    }
    ~Fcssim() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int st = 0;
            waitpid(pid_, &st, 0);
        }
    }
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
        sim = std::make_unique<Fcssim>(dir);
        if (sim->device().empty()) return false;
        std::ofstream(result->workstationJson) << R"({"currentProject": "DEMO", "controlBus": ")" << sim->device()
                                               << "\"}";
        return true;
    }
    void Stop() {
        sim.reset();
        result.reset();
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
        dir.clear();
    }
    ~SampleHome() { Stop(); }
};

}  // namespace e2e
