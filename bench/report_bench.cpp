// What tusave report costs on a large plant: a sample project of 64 stations whose history
// database holds 200 saves of each (64 blocks of ten values; each save changes three values,
// every tenth fails), then `tusave report` as a user runs it. Goals: written in under 2 s (wall,
// median of the runs) and under 3 MB.
// Usage: report_bench [--stations N] [--saves N] [--blocks N] [--runs N] [--keep]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "history.h"
#include "plant_history.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "report_bench: %s\n", why.c_str());
    std::exit(1);
}

// A station of n blocks with ten numeric items each, saved `saves` times an hour apart from t0;
// each save after the first changes three values and every tenth save fails.
void fill_station(history::Database& db, const std::string& station, int nBlocks, int saves,
                         std::int64_t t0) {
    std::vector<plant_history::Block> blocks;
    for (int b = 1; b <= nBlocks; ++b) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "PIC%04d", b);
        plant_history::Block k{b, tag, "PIDLOOP", {}};
        for (int i = 0; i < 10; ++i) k.items.push_back({"P" + std::to_string(i), std::to_string(b * 10 + i) + ".5"});
        blocks.push_back(std::move(k));
    }
    history::TpFile before;
    std::uint32_t seed = 1;
    for (int s = 0; s < saves; ++s) {
        const std::int64_t t = t0 + 3600 * s;
        if (s % 10 == 9) {
            plant_history::record_save(db, station, t, nullptr, &before, 0x20234104);
            continue;
        }
        for (int k = 0; s > 0 && k < 3; ++k) {
            seed = seed * 1103515245u + 12345u;
            auto& item = blocks[(seed >> 8) % blocks.size()].items[(seed >> 20) % 10];
            item.second = std::to_string((seed >> 4) % 100000) + ".25";
        }
        plant_history::record_save(db, station, t, &blocks, &before);
    }
}

int run(const std::string& cmd) {
    const int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    int stations = 64, saves = 200, blocks = 64, runs = 5;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (a == "--stations") stations = next();
        else if (a == "--saves") saves = next();
        else if (a == "--blocks") blocks = next();
        else if (a == "--runs") runs = next();
        else if (a == "--keep") keep = true;
        else die("unknown argument " + a);
    }
    if (stations < 1 || stations > 255 || saves < 1 || blocks < 1 || runs < 1) die("bad arguments");

    char tmpl[] = "/tmp/tusave-report-bench-XXXXXX";
    if (!mkdtemp(tmpl)) die("cannot make a folder");
    const std::string home = tmpl;
    const std::string tusave = std::string(TUSAVE_BUILD_DIR) + "/tools/tusave/tusave";

    // A project of that many stations: a one-station sample whose system configuration then
    // names them all (the report reads the configuration and the history only).
    if (run("'" + tusave + "' sample --blocks 16 '" + home + "/ws' >/dev/null") != 0) die("tusave sample failed");
    const std::string sysconfig = home + "/ws/projects/DEMO/SYSTEM/sysconfig.json";
    nlohmann::json config = nlohmann::json::parse(std::ifstream(sysconfig), nullptr, false);
    if (!config.contains("stations")) die("no stations in " + sysconfig);
    const nlohmann::json first = config["stations"][0];
    std::vector<std::string> names;
    config["stations"] = nlohmann::json::array();
    for (int n = 1; n <= stations; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "FCS%02d%02d", 1 + (n - 1) / 99, 1 + (n - 1) % 99);
        nlohmann::json st = first;
        st["name"] = name;
        st["number"] = n;
        config["stations"].push_back(st);
        names.push_back(name);
    }
    std::ofstream(sysconfig) << config.dump(2);

    const std::string db = home + "/ws/projects/DEMO/HISTORY/tuning.sqlite";
    fs::create_directories(home + "/ws/projects/DEMO/HISTORY");
    const std::int64_t t0 = static_cast<std::int64_t>(std::time(nullptr)) - 3600LL * saves;
    const auto f0 = Clock::now();
    {
        history::Database h = history::Database::open(db, true);
        for (const std::string& n : names) fill_station(h, n, blocks, saves, t0);
    }
    std::printf("%d stations x %d saves (%d blocks of 10 values) recorded in %.1f s; database %.1f MB\n", stations,
                saves, blocks, std::chrono::duration<double>(Clock::now() - f0).count(),
                static_cast<double>(fs::file_size(db)) / 1048576.0);

    const std::string out = home + "/report.html";
    std::vector<double> walls;
    for (int i = 0; i < runs; ++i) {
        const auto t = Clock::now();
        if (run("TUSAVE_HOME='" + home + "/ws' '" + tusave + "' report --project DEMO --out '" + out + "' >/dev/null") != 0)
            die("tusave report failed");
        walls.push_back(std::chrono::duration<double>(Clock::now() - t).count());
    }
    std::sort(walls.begin(), walls.end());
    const double median = walls[walls.size() / 2];
    const double mb = static_cast<double>(fs::file_size(out)) / 1048576.0;
    const bool pass = median < 2.0 && mb < 3.0;
    std::printf("tusave report: %.3f s wall (median of %d, min %.3f; goal < 2 s), %.2f MB (goal < 3 MB): %s\n", median,
                runs, walls.front(), mb, pass ? "pass" : "FAIL");
    if (keep) std::printf("kept: %s\n", home.c_str());
    else fs::remove_all(home);
    return pass ? 0 : 1;
}
