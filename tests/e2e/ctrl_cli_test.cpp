// tusave as a user runs it: lines, the raw result line, the exit status, the summary and the
// JSON report of a save (against the schema in docs/), save --all and check.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <fstream>
#include <iterator>
#include <algorithm>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "libqverxeda.h"
#include "sample.h"
#include "e2e_fcssim.h"
#include "tpfile.h"

namespace {

namespace fs = std::filesystem;

struct CliRun {
    int status = -1;
    std::vector<std::string> lines;
};

class CtrlCli : public ::testing::Test {
protected:
    void SetUp() override { Build(sample::default_description()); }
    void Build(const sample::Description& d) {
        home_.Stop();
        // The save uploads from the station: the simulated one answers on a loopback port.
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
    // Writes v into the station's memory at item offset `at` of record 2 of the first block of model.
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

    // Runs tusave with args under env (assignments before the program); stderr to a file.
    CliRun tusave(const std::string& env, const std::string& args) {
        std::string cmd = "TUSAVE_HOME='" + dir_ + "' TUSAVE_FIXED_TIME=1767225600 TZ=UTC " + env + " '" +
                          TUSAVE_BUILD_DIR "/tools/tusave/tusave' " + args + " 2>'" + dir_ + "/stderr.txt'";
        CliRun r;
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return r;
        char buf[4096];
        std::string line;
        while (fgets(buf, sizeof buf, p)) {
            line += buf;
            if (!line.empty() && line.back() == '\n') {
                line.pop_back();
                r.lines.push_back(line);
                line.clear();
            }
        }
        int st = pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return r;
    }

    e2e::SampleHome home_;
    std::string dir_;
};

// The first place where v breaks schema s, or "" (the keywords docs/save-report.schema.json uses).
std::string Violation(const nlohmann::json& s, const nlohmann::json& v, const std::string& at = "$") {
    if (s.contains("type")) {
        const nlohmann::json types = s["type"].is_array() ? s["type"] : nlohmann::json::array({s["type"]});
        bool ok = false;
        for (const auto& t : types) {
            const std::string n = t;
            ok = ok || (n == "object" && v.is_object()) || (n == "array" && v.is_array()) ||
                 (n == "string" && v.is_string()) || (n == "integer" && v.is_number_integer()) ||
                 (n == "number" && v.is_number()) || (n == "null" && v.is_null()) || (n == "boolean" && v.is_boolean());
        }
        if (!ok) return at + ": not of type " + types.dump();
    }
    if (s.contains("enum") && std::find(s["enum"].begin(), s["enum"].end(), v) == s["enum"].end())
        return at + ": not one of " + s["enum"].dump();
    if (s.contains("pattern") && v.is_string() && !std::regex_search(v.get<std::string>(), std::regex(s["pattern"].get<std::string>())))
        return at + ": does not match " + s["pattern"].dump();
    if (s.contains("minimum") && v.is_number() && v.get<double>() < s["minimum"].get<double>())
        return at + ": below " + s["minimum"].dump();
    if (v.is_object()) {
        for (const auto& k : s.value("required", nlohmann::json::array()))
            if (!v.contains(k.get<std::string>())) return at + ": no " + k.dump();
        for (const auto& [k, x] : v.items()) {
            if (s.contains("properties") && s["properties"].contains(k)) {
                if (std::string e = Violation(s["properties"][k], x, at + "." + k); !e.empty()) return e;
            } else if (s.value("additionalProperties", true) == false) {
                return at + ": unexpected " + k;
            }
        }
    }
    if (v.is_array() && s.contains("items"))
        for (std::size_t i = 0; i < v.size(); ++i)
            if (std::string e = Violation(s["items"], v[i], at + "[" + std::to_string(i) + "]"); !e.empty()) return e;
    return "";
}

constexpr const char* kStart = "MSG:Tuning parameter save started:  FCS0101   Thu Jan  1 00:00:00 2026";

TEST_F(CtrlCli, SaveLinesRawAndPlainAndTheExitStatus) {
    const std::string end = "MSG:Tuning parameter save finished.  Thu Jan  1 00:00:00 2026";
    CliRun r = tusave("", "save --project DEMO --station FCS0101 --mode 2 --raw");
    ASSERT_GE(r.lines.size(), 4u);
    EXPECT_EQ(r.lines[0], "PRG:00");
    EXPECT_EQ(r.lines[1], kStart);
    EXPECT_EQ(r.lines[r.lines.size() - 3], "PRG:100");
    EXPECT_EQ(r.lines[r.lines.size() - 2], end);
    EXPECT_EQ(r.lines.back(), "RESULT 0x00000000");
    EXPECT_EQ(r.status, 0);
    // Not on a terminal and without --summary: the lines alone.
    r = tusave("", "save --project DEMO --station FCS0101 --mode 2");
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines.back(), end);
    EXPECT_EQ(r.status, 0);

    r = tusave("TUSAVE_FAILPOINTS='QVEEdaGenLockStation=0x55'", "save --project DEMO --station FCS0101 --raw");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"PRG:00", kStart, "RESULT 0x00000055"}));
    EXPECT_EQ(r.status, 1);
    r = tusave("TUSAVE_FAILPOINTS='QVEEdaGenLockStation'", "save --project DEMO --station FCS0101 --raw");
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ(r.status, 2);
}

// Values changed in known items of the station: the save's summary, its JSON report and tusave
// diff list exactly those, with old and new values, also when the save before was in the same
// second (its archive copy overwritten); a save with nothing changed lists none.
TEST_F(CtrlCli, SaveSummaryJsonAndDiffListExactlyTheChangedValues) {
    const std::string tp = dir_ + "/projects/DEMO/FCS0101/TP/tuning.tps";
    const auto at = [](int minute) { return "TUSAVE_FIXED_TIME=" + std::to_string(1767225600 + 60 * minute); };
    const std::string save = "save --project DEMO --station FCS0101 --mode 2 ";
    ASSERT_EQ(tusave("", save).status, 0);
    const sample::StationResult& st = home_.result->stations[0];
    // The value of (model, label) in the project's TP file, and its line when it changes to v.
    const tpfile::File first = tpfile::read(tp);
    auto line = [&](const std::string& model, const std::string& label, const std::string& v) {
        for (const tpfile::Block& b : first.blocks)
            for (const tpfile::Item& it : b.items)
                if (b.model == model && it.label == label)
                    return (std::ostringstream() << std::setw(4) << std::setfill('0') << b.blockNo).str() + " " + b.tag +
                           " " + model + " " + label + " changed: " + it.value + " -> " + v;
        return std::string("no ") + label;
    };
    const std::vector<std::string> expected = {line("PIDLOOP", "SV", "42.000000"),
                                               line("CALCBLK", "K[2]", "-1.500000")};
    SetStationFloat("PIDLOOP", 16, 42.0f);
    SetStationFloat("CALCBLK", 20, -1.5f);
    RestartStation();
    CliRun r = tusave(at(1), save + "--summary");
    EXPECT_EQ(r.status, 0);
    auto summary = std::find_if(r.lines.begin(), r.lines.end(),
                                [](const std::string& l) { return l.rfind("Tuning values changed", 0) == 0; });
    ASSERT_NE(summary, r.lines.end());
    EXPECT_EQ(*summary, "Tuning values changed since the last save: 2 (against the TP file before this save), "
                        "shown by: tusave diff --project DEMO --station FCS0101");
    ASSERT_GE(r.lines.end() - summary, 3);
    EXPECT_EQ(std::vector<std::string>(summary + 1, summary + 3),
              (std::vector<std::string>{"  " + expected[0], "  " + expected[1]}));
    r = tusave("", "diff --project DEMO --station FCS0101");
    EXPECT_EQ(r.lines, expected);
    EXPECT_EQ(r.status, 1);

    // Again in the same second: the archive copy of the save before is gone, the report still
    // measures against the TP file as it was.
    SetStationFloat("PIDLOOP", 16, 43.0f);
    RestartStation();
    r = tusave(at(1), save + "--json");
    EXPECT_EQ(r.status, 0);
    std::string text;
    for (const std::string& l : r.lines) text += l + "\n";
    const nlohmann::json report = nlohmann::json::parse(text);
    std::ifstream schemaFile(TUSAVE_SOURCE_DIR "/docs/save-report.schema.json");
    EXPECT_EQ(Violation(nlohmann::json::parse(schemaFile), report), "");
    EXPECT_EQ(report["result"]["code"], "0x00000000");
    const nlohmann::json& changed = report["valuesChanged"];
    EXPECT_EQ(changed["count"], 1);
    ASSERT_EQ(changed["changes"].size(), 1u);
    EXPECT_EQ(changed["changes"][0]["item"], "SV");
    EXPECT_EQ(changed["changes"][0]["old"], "42.000000");
    EXPECT_EQ(changed["changes"][0]["new"], "43.000000");
    EXPECT_TRUE(changed["command"].is_null());
    // Blocks and records: the sample's listed blocks and their saved records.
    unsigned blocks = 0, records = 0;
    for (const sample::BlockInfo& b : st.blocks)
        if (b.listed) {
            ++blocks;
            records += std::min<unsigned>(8, static_cast<unsigned>(std::count_if(
                                                 b.records.begin(), b.records.end(),
                                                 [](const sample::RecordInfo& x) { return x.saved; })));
        }
    EXPECT_EQ(report["saved"], (nlohmann::json{{"blocks", blocks}, {"records", records}, {"editFilesPassedOver", 0}}));
    EXPECT_GT(report["frames"]["sent"].get<int>(), 0);
    EXPECT_EQ(report["frames"]["sent"], report["frames"]["received"]);
    const auto& written = report["filesWritten"];
    EXPECT_NE(std::find(written.begin(), written.end(), tp), written.end());
    EXPECT_NE(std::find(written.begin(), written.end(), st.databasePath), written.end());
    ASSERT_FALSE(report["steps"].empty());
    EXPECT_EQ(report["steps"].back()["to"], 100);
    EXPECT_EQ(report["progress"].size(), report["steps"].size() + 1);

    // Nothing changed.
    r = tusave(at(2), save + "--json");
    text.clear();
    for (const std::string& l : r.lines) text += l + "\n";
    const nlohmann::json same = nlohmann::json::parse(text);
    EXPECT_EQ(same["valuesChanged"]["count"], 0);
    EXPECT_TRUE(same["valuesChanged"]["changes"].empty());
    r = tusave("", "diff --project DEMO --station FCS0101");
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ(r.status, 0);
}

TEST_F(CtrlCli, SaveAllSavesEveryStationAndReportsAHeldOne) {
    sample::Description d = sample::default_description();
    d.stations.resize(4, d.stations[1]);
    for (int i = 0; i < 4; ++i) {
        d.stations[i].name = "FCS010" + std::to_string(i + 1);
        d.stations[i].number = i + 1;
    }
    Build(d);
    CliRun r = tusave("", "save --all --project DEMO --jobs 2");
    EXPECT_EQ(r.status, 0);
    ASSERT_GE(r.lines.size(), 5u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(r.lines[r.lines.size() - 4 + i].substr(0, 46),
                  "FCS010" + std::to_string(i + 1) + "     saved                   0x00000000");

    // Every value of the sample's stations differs from the project's last TP file.
    for (std::size_t i = r.lines.size() - 4; i < r.lines.size(); ++i) {
        std::istringstream row(r.lines[i]);
        std::string station, outcome, result, seconds;
        int changed = 0;
        row >> station >> outcome >> result >> seconds >> changed;
        EXPECT_GT(changed, 0) << r.lines[i];
    }

    // A station that another save holds fails at once and is named as such; the others are saved.
    void* held = nullptr;
    ASSERT_EQ(setenv("TUSAVE_HOME", dir_.c_str(), 1), 0);
    ASSERT_EQ(QVEEdaGenLockStation("DEMO", "FCS0103", 0, nullptr, 0, &held), 0u);
    r = tusave("", "save --all --project DEMO --jobs 2");
    QVEEdaGenUnlockStation("DEMO", "FCS0103", held);
    unsetenv("TUSAVE_HOME");
    EXPECT_EQ(r.status, 1);
    ASSERT_GE(r.lines.size(), 4u);
    EXPECT_EQ(r.lines[r.lines.size() - 2].substr(0, 32), "FCS0103     held by another save");
    EXPECT_EQ(r.lines[r.lines.size() - 1].substr(0, 32), "FCS0104     saved               ");
    // Saved again in the same second as its first save (its archive copy overwritten): no change.
    {
        std::istringstream row(r.lines.back());
        std::string station, outcome, result, seconds, changed;
        row >> station >> outcome >> result >> seconds >> changed;
        EXPECT_EQ(changed, "0") << r.lines.back();
    }

    // A station whose simulator is absent fails with the check's code after the bus time-out;
    // the others are saved.
    fs::rename(dir_ + "/fcs/FCS0102", dir_ + "/FCS0102.away");
    RestartStation();
    r = tusave("", "save --all --project DEMO --jobs 2");
    EXPECT_EQ(r.status, 1);
    ASSERT_GE(r.lines.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(r.lines[r.lines.size() - 4 + i].substr(0, 46),
                  "FCS010" + std::to_string(i + 1) + (i == 1 ? "     failed                  0x20234104"
                                                             : "     saved                   0x00000000"));
}

// A FIFO, a link to /dev/zero or a file of 1 GiB in place of the TP file: history, diff and
// the save's summary each end with a line that says what is wrong (a FIFO is never waited on,
// a device never read, a huge file never taken in). The save itself does not replace what is
// no regular file: its TP step fails, and the summary says so.
TEST_F(CtrlCli, TpFileThatIsNoRegularFileOrTooLargeEndsEveryReaderWithALine) {
    ::setenv("TUSAVE_HOME", dir_.c_str(), 1);
    const std::string tp = tpfile::station_tp_path("DEMO", "FCS0101");
    ::unsetenv("TUSAVE_HOME");
    const struct {
        const char* kind;
        std::string why;
    } cases[] = {{"fifo", "not a regular file"}, {"zero", "not a regular file"}, {"huge", "larger than 256 MiB"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        fs::remove(tp);
        if (std::string(c.kind) == "fifo") {
            ASSERT_EQ(::mkfifo(tp.c_str(), 0644), 0);
        } else if (std::string(c.kind) == "zero") {
            fs::create_symlink("/dev/zero", tp);
        } else {
            std::ofstream(tp).close();
            fs::resize_file(tp, std::uintmax_t{1} << 30);
        }
        // history lists the TP file and its copies only while the database holds no save.
        CliRun h = tusave("", "history --project DEMO --station FCS0101");
        std::string out;
        for (const auto& l : h.lines) out += l + "\n";
        EXPECT_EQ(h.status, 0);
        if (out.find("No save of FCS0101 is recorded") != std::string::npos) {
            EXPECT_NE(out.find(tp + ": " + c.why), std::string::npos) << out;
        }

        CliRun d = tusave("", "diff --project DEMO --station FCS0101");
        std::ifstream err(dir_ + "/stderr.txt");
        const std::string errText((std::istreambuf_iterator<char>(err)), {});
        EXPECT_EQ(d.status, 2);
        EXPECT_NE(errText.find("tusave diff: " + tp + ": " + c.why), std::string::npos) << errText;

        CliRun sv = tusave("", "save --project DEMO --station FCS0101 --mode 2 --summary");
        out.clear();
        for (const auto& l : sv.lines) out += l + "\n";
        if (std::string(c.kind) == "huge") {
            EXPECT_EQ(sv.status, 0) << out;
            EXPECT_NE(out.find("(against not told: the TP file before the save: " + tp + ": " + c.why),
                      std::string::npos)
                << out;
        } else {
            EXPECT_EQ(sv.status, 1) << out;
            EXPECT_NE(out.find("Save of FCS0101 failed after "), std::string::npos) << out;
            EXPECT_NE(out.find(": 0x20234105 ("), std::string::npos) << out;
        }
    }
}

TEST_F(CtrlCli, CheckComparesTheGenerationAndWritesNothing) {
    const std::string db = dir_ + "/projects/DEMO/FCS0101/DB/stndb.sfdata";
    const auto before = e2e::read_file(db);
    EXPECT_EQ(tusave("", "check --project DEMO --station FCS0101").status, 0);
    EXPECT_EQ(e2e::read_file(db), before);
    // Another generation stamp in the project's file: the station no longer matches.
    sample::Description d = sample::default_description();
    d.stations[0].memoryGenerationStamp = d.stations[0].generationStamp + 1;
    Build(d);
    EXPECT_EQ(tusave("", "check --project DEMO --station FCS0101").status, 1);
}

}  // namespace
