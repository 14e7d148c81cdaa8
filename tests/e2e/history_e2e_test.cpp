// The history database as a user meets it: twenty saves with known changes between them (log
// lists exactly those, diff between two saves equals the diff of the two TP files they wrote,
// the archive keeps five copies while the database keeps all), save --all --jobs 8 recording
// side by side, and a damaged or unwritable database that leaves the save as it was.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_fcssim.h"
#include "history.h"
#include "project_files.h"
#include "recorder.h"
#include "sample.h"
#include "tpfile.h"

namespace {

namespace fs = std::filesystem;
constexpr long kT0 = 1767225600;   // 2026-01-01 00:00:00 UTC

class HistoryE2E : public ::testing::Test {
protected:
    void Build(sample::Description d) {
        // No custom files: the backup tool is not what these tests are about.
        for (auto& st : d.stations) {
            st.customFolders.clear();
            st.customFiles.clear();
        }
        home_.Stop();
        ASSERT_TRUE(home_.Start(d)) << "fcssim did not report its port";
        dir_ = home_.dir;
    }
    void TearDown() override { home_.Stop(); }
    // fcssim reads the station's memory when it starts.
    void RestartStation() {
        home_.sim.reset();
        home_.sim = std::make_unique<e2e::Fcssim>(dir_);
        ASSERT_FALSE(home_.sim->device().empty());
        std::ofstream(home_.result->workstationJson)
            << R"({"currentProject": "DEMO", "controlBus": ")" << home_.sim->device() << "\"}";
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
    // Runs tusave at `time` (seconds since 1970) with args; stdout lines, exit status, stderr.
    std::vector<std::string> tusave(long time, const std::string& args, const std::string& env = "") {
        const std::string cmd = "TUSAVE_HOME='" + dir_ + "' TUSAVE_FIXED_TIME=" + std::to_string(time) + " TZ=UTC " +
                                env + " '" + TUSAVE_BUILD_DIR "/tools/tusave/tusave' " + args + " 2>'" + dir_ +
                                "/stderr.txt'";
        std::vector<std::string> lines;
        status_ = e2e::shell(cmd, &lines);
        std::ifstream in(dir_ + "/stderr.txt");
        err_.assign(std::istreambuf_iterator<char>(in), {});
        return lines;
    }
    nlohmann::json json(long time, const std::string& args) {
        std::string text;
        for (const std::string& l : tusave(time, args)) text += l + "\n";
        return nlohmann::json::parse(text, nullptr, false);
    }
    std::string project() const { return dir_ + "/projects/DEMO"; }

    e2e::SampleHome home_;
    std::string dir_, err_;
    int status_ = -1;
};

std::optional<std::string> ValueOf(const tpfile::File& f, const std::string& model, const std::string& label,
                                   std::string* tag = nullptr) {
    for (const tpfile::Block& b : f.blocks)
        if (b.model == model)
            for (const tpfile::Item& it : b.items)
                if (it.label == label) {
                    if (tag) *tag = b.tag;
                    return it.value;
                }
    return std::nullopt;
}

}  // namespace

TEST_F(HistoryE2E, TwentySavesLogDiffAndArchive) {
    Build(sample::default_description());
    const std::string tp = project() + "/FCS0101/TP/tuning.tps";
    const std::string save = "save --project DEMO --station FCS0101 --mode 2 --raw --reason ";
    // The station's SV of the first PIDLOOP block is set before saves 4, 9 and 15, K[2] of the
    // first CALCBLK before 6 and 12.
    const std::map<int, std::pair<std::string, float>> set = {
        {4, {"PIDLOOP", 40.f}}, {6, {"CALCBLK", -1.5f}}, {9, {"PIDLOOP", 41.f}},
        {12, {"CALCBLK", 2.25f}}, {15, {"PIDLOOP", 42.5f}}};
    std::vector<tpfile::File> copies(1);   // copies[k]: the TP file save k wrote
    for (int k = 1; k <= 20; ++k) {
        if (auto s = set.find(k); s != set.end()) {
            SetStationFloat(s->second.first, s->second.first == "PIDLOOP" ? 16 : 20, s->second.second);
            RestartStation();
        }
        const auto lines = tusave(kT0 + 60 * k, save + "'shift " + std::to_string(k) + "'");
        ASSERT_EQ(status_, 0) << err_;
        for (const auto& l : lines) EXPECT_NE(l.rfind("WRN:", 0), 0u) << l;
        fs::copy_file(tp, dir_ + "/copy" + std::to_string(k) + ".tps");
        copies.push_back(tpfile::read(tp));
    }

    // The database holds all twenty, newest first, with their reasons and times.
    const nlohmann::json saves = json(kT0 + 3600, "history --project DEMO --station FCS0101 --json");
    ASSERT_EQ(saves.size(), 20u) << saves.dump();
    for (int i = 0; i < 20; ++i) {
        const int k = 20 - i;
        EXPECT_EQ(saves[i]["save"], k);
        EXPECT_EQ(saves[i]["state"], "done");
        EXPECT_EQ(saves[i]["result"], "0x00000000");
        EXPECT_EQ(saves[i]["reason"], "shift " + std::to_string(k));
        EXPECT_EQ(saves[i]["started"], history::moment_text({kT0 + 60 * k, 0}).replace(10, 1, "T").substr(0, 19) + "+00:00");
        EXPECT_EQ(saves[i]["tpSha256"], history::sha256_hex(std::string(std::istreambuf_iterator<char>(
                                            std::ifstream(dir_ + "/copy" + std::to_string(k) + ".tps", std::ios::binary).rdbuf()), {})));
    }
    // The archive keeps the last five only.
    std::vector<std::string> archive;
    for (const auto& c : tpfile::archive_copies(tp)) archive.push_back(c.name);
    EXPECT_EQ(archive, (std::vector<std::string>{"TP20260101002000.txt", "TP20260101001900.txt", "TP20260101001800.txt",
                                                 "TP20260101001700.txt", "TP20260101001600.txt"}));

    // log of SV: exactly the saves whose TP file changed it (the first save adds every block).
    std::string tag;
    ASSERT_TRUE(ValueOf(copies[1], "PIDLOOP", "SV", &tag));
    std::vector<std::string> want;
    for (int k = 20; k >= 1; --k) {
        const auto now = ValueOf(copies[k], "PIDLOOP", "SV"), was = k > 1 ? ValueOf(copies[k - 1], "PIDLOOP", "SV") : std::nullopt;
        if (now != was)
            want.push_back(history::moment_text({kT0 + 60 * k, 0}) + " save " + std::to_string(k) + " " +
                           was.value_or("-") + " -> " + now.value_or("-") + " shift " + std::to_string(k));
    }
    ASSERT_EQ(want.size(), 4u);   // saves 15, 9, 4 and 1
    std::vector<std::string> got;
    const nlohmann::json log = json(kT0 + 3600, "log --project DEMO --station FCS0101 --tag " + tag + " --item SV --json");
    for (const auto& c : log)
        got.push_back(history::moment_text({kT0 + 60 * c["save"]["save"].get<long>(), 0}) + " save " +
                      std::to_string(c["save"]["save"].get<int>()) + " " +
                      (c["old"].is_null() ? "-" : c["old"].get<std::string>()) + " -> " + c["new"].get<std::string>() +
                      " " + c["save"]["reason"].get<std::string>());
    EXPECT_EQ(got, want);
    // The text form says the same, one line each.
    const auto text = tusave(kT0 + 3600, "log --project DEMO --station FCS0101 --tag " + tag + " --item SV");
    ASSERT_EQ(text.size(), 4u);
    EXPECT_EQ(text[0].rfind("2026-01-01 00:15:00 +0000  save 15  " + history::user_name() + "@", 0), 0u) << text[0];
    EXPECT_NE(text[0].find(" PIDLOOP SV: " + ValueOf(copies[14], "PIDLOOP", "SV").value() + " -> " +
                           ValueOf(copies[15], "PIDLOOP", "SV").value() + "  shift 15"),
              std::string::npos)
        << text[0];

    // diff between two saves is the diff of the two TP files they wrote.
    const auto fromDb = tusave(kT0 + 3600, "diff --project DEMO --station FCS0101 --from 3 --to 17");
    const int dbStatus = status_;
    const auto fromFiles = tusave(kT0 + 3600, "diff '" + dir_ + "/copy3.tps' '" + dir_ + "/copy17.tps'");
    EXPECT_EQ(dbStatus, 1);
    EXPECT_EQ(status_, 1);
    EXPECT_EQ(fromDb, fromFiles);
    EXPECT_EQ(fromDb.size(), 2u);   // SV and K[2], each changed more than once in between
    // By date, and against the TP file now.
    EXPECT_EQ(tusave(kT0 + 3600, "diff --project DEMO --station FCS0101 --from '2026-01-01 00:03:30' --to 17"), fromFiles);
    tusave(kT0 + 3600, "diff --project DEMO --station FCS0101 --from 20");
    EXPECT_EQ(status_, 0);
}

TEST_F(HistoryE2E, SaveAllWithEightJobsRecordsEverySaveOnce) {
    sample::Description d = sample::default_description();
    d.stations.resize(8, d.stations[1]);
    for (int i = 0; i < 8; ++i) {
        d.stations[i].name = "FCS010" + std::to_string(i + 1);
        d.stations[i].number = i + 1;
    }
    Build(d);
    const auto lines = tusave(kT0, "save --all --project DEMO --jobs 8 --reason nightly");
    EXPECT_EQ(status_, 0) << err_;
    for (const auto& l : lines) EXPECT_EQ(l.find("locked"), std::string::npos) << l;
    const nlohmann::json saves = json(kT0, "history --project DEMO --json");
    ASSERT_TRUE(saves.is_array());
    std::multiset<std::string> stations;
    for (const auto& s : saves) {
        stations.insert(s["station"].get<std::string>());
        EXPECT_EQ(s["state"], "done") << s.dump();
        EXPECT_EQ(s["reason"], "nightly");
        EXPECT_GT(s["valuesChanged"].get<int>(), 0);
    }
    std::multiset<std::string> want;
    for (const auto& s : d.stations) want.insert(s.name);
    EXPECT_EQ(stations, want);
}

TEST_F(HistoryE2E, ADamagedOrUnwritableDatabaseLeavesTheSaveAsItWas) {
    Build(sample::default_description());
    const std::string db = project() + "/HISTORY/tuning.sqlite";
    const std::string save = "save --project DEMO --station FCS0101 --mode 2 ";
    fs::create_directories(project() + "/HISTORY");
    std::ofstream(db) << std::string(5000, 'x');
    auto history = [&] {
        project_files::Files f;
        for (const auto& [path, bytes] : project_files::snapshot(dir_))
            if (path.find("/HISTORY") != std::string::npos) f[path] = bytes;
        return f;
    };
    const auto before = history();
    auto lines = tusave(kT0, save + "--raw");
    EXPECT_EQ(status_, 0);
    std::vector<std::string> warnings;
    for (const auto& l : lines)
        if (l.rfind("WRN:", 0) == 0) warnings.push_back(l);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind("WRN:This save is not recorded in the history database: " + db + ": ", 0), 0u)
        << warnings[0];
    EXPECT_EQ(lines.back(), "RESULT 0x00000000");
    EXPECT_EQ(e2e::expect_saved_records_equal_memory(home_.result->stations[0]) > 0, true);
    EXPECT_EQ(history(), before);
    lines = tusave(kT0 + 60, save + "--summary");
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("History: not recorded (", 0) == 0; }),
              1);
    // history names the damage and the way out.
    tusave(kT0, "history --project DEMO --station FCS0101");
    EXPECT_EQ(status_, 2);
    EXPECT_NE(err_.find("the history database is damaged"), std::string::npos) << err_;
    EXPECT_NE(err_.find("mv '" + db + "' '" + db + ".damaged'"), std::string::npos) << err_;
    EXPECT_EQ(history(), before);

    // A file where its folder should be: unwritable, and the same.
    fs::remove_all(project() + "/HISTORY");
    std::ofstream(project() + "/HISTORY") << "not a folder";
    lines = tusave(kT0 + 120, save + "--raw");
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("WRN:", 0) == 0; }), 1);
    EXPECT_EQ(lines.back(), "RESULT 0x00000000");

    // Moved aside: the next save starts a new one.
    fs::remove(project() + "/HISTORY");
    tusave(kT0 + 180, save + "--raw --reason again");
    EXPECT_EQ(status_, 0);
    const nlohmann::json saves = json(kT0, "history --project DEMO --json");
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_EQ(saves[0]["reason"], "again");
}
