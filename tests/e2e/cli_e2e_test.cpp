// tusave as a user runs it: lines, exit status, summary and JSON report (against the schema in
// docs/), check, save --all, drift --all, Ctrl-C, failure lines, usage errors, result codes.
#include <sys/stat.h>

#include <iomanip>
#include <regex>
#include <sstream>

#include "e2e_fcssim.h"
#include "history.h"
#include "libqverxeda.h"
#include "tpfile.h"
#include "tusave_results.h"

namespace {

namespace fs = std::filesystem;
using e2e::kFcssim;
using e2e::kTusave;
using Lines = std::vector<std::string>;

// The first place where v breaks schema s, or "" (the keywords docs/save-report.schema.json uses).
std::string Violation(const nlohmann::json& s, const nlohmann::json& v, const std::string& at = "$") {
    if (s.contains("type")) {
        const nlohmann::json types = s["type"].is_array() ? s["type"] : nlohmann::json::array({s["type"]});
        const std::string t = v.is_number_integer() ? "integer" : v.is_number() ? "number" : v.type_name();
        if (!std::count(types.begin(), types.end(), t) && !(t == "integer" && std::count(types.begin(), types.end(), "number")))
            return at + ": not of type " + types.dump();
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

using Cli = e2e::CliTest;
constexpr const char* kStart = "MSG:Tuning parameter save started:  FCS0101   Thu Jan  1 00:00:00 2026";
const std::string kSave = "save --project DEMO --station FCS0101 ";
const std::string kShownBy = " (against the TP file before this save), shown by: tusave diff --project DEMO --station FCS0101";

// check compares the generation and writes nothing (a mismatch: EveryCommonMistake...).
TEST_F(Cli, CheckAndSaveLinesRawAndPlainAndTheExitStatus) {
    const std::string db = dir_ + "/projects/DEMO/FCS0101/DB/stndb.sfdata";
    const auto before = e2e::read_file(db);
    EXPECT_EQ(exit_of("check --project DEMO --station FCS0101"), 0);
    EXPECT_EQ(e2e::read_file(db), before);
    const std::string end = "MSG:Tuning parameter save finished.  Thu Jan  1 00:00:00 2026";
    auto lines = tusave(kSave + "--mode 2 --raw");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ((Lines{lines[0], lines[1], lines.end()[-3], lines.end()[-2], lines.back(), std::to_string(status_)}),
              (Lines{"PRG:00", kStart, "PRG:100", end, "RESULT 0x00000000", "0"}));
    // Not on a terminal and without --summary: the lines alone.
    lines = tusave(kSave + "--mode 2");
    EXPECT_EQ((std::pair{lines.empty() ? "" : lines.back(), status_}), (std::pair{end, 0}));
    EXPECT_EQ((std::pair{tusave(kSave + "--raw", "TUSAVE_FAILPOINTS='QVEEdaGenLockStation=0x55'"), status_}),
              (std::pair{Lines{"PRG:00", kStart, "RESULT 0x00000055"}, 1}));
    EXPECT_EQ((std::pair{tusave(kSave + "--raw", "TUSAVE_FAILPOINTS='QVEEdaGenLockStation'"), status_}), (std::pair{Lines{}, 2}));
}

// Exactly the changed values, also after a save in the same second (its archive copy overwritten); the
// first save lists every value it adds; a missing edit file is said once (values set with fcssim: Drift).
TEST_F(Cli, SaveSummaryJsonAndDiffListExactlyTheChangedValues) {
    const std::string tp = dir_ + "/projects/DEMO/FCS0101/TP/tuning.tps", save = kSave + "--mode 2 ";
    const std::string diff = "diff --project DEMO --station FCS0101";
    const nlohmann::json added = json(save + "--json");
    ASSERT_EQ(status_, 0) << err_;
    EXPECT_EQ(added["valuesChanged"]["count"], added["valuesChanged"]["changes"].size());
    ASSERT_FALSE(added["valuesChanged"]["changes"].empty());
    EXPECT_TRUE(added["valuesChanged"]["changes"][0]["new"].is_string());
    EXPECT_EQ(added["started"]["time"], "2026-01-01 00:00:00 +0000");
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
    const Lines expected = {line("PIDLOOP", "SV", "42.000000"), line("CALCBLK", "K[2]", "-1.500000")};
    SetStationFloat("PIDLOOP", 16, 42.0f);
    SetStationFloat("CALCBLK", 20, -1.5f);
    RestartStation();
    auto lines = tusave(save + "--summary", "", e2e::kT0 + 60);
    EXPECT_EQ(status_, 0);
    auto at = e2e::find_prefix(lines, "Tuning values changed");
    ASSERT_GE(lines.end() - at, 3);
    EXPECT_EQ(Lines(at, at + 3), (Lines{"Tuning values changed since the last save: 2" + kShownBy, "  " + expected[0],
                                        "  " + expected[1]}));
    at = e2e::find_prefix(lines, "Files written in ");
    ASSERT_NE(at, lines.end());
    EXPECT_NE(at->find(", 6 with other bytes, "), std::string::npos) << *at;
    EXPECT_EQ((std::pair{tusave(diff), status_}), (std::pair{expected, 1}));

    // Again in the same second: the archive copy of the save before is gone, the report still
    // measures against the TP file as it was.
    SetStationFloat("PIDLOOP", 16, 43.0f);
    RestartStation();
    const nlohmann::json report = json(save + "--json", e2e::kT0 + 60);
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(Violation(nlohmann::json::parse(e2e::read_text(TUSAVE_SOURCE_DIR "/docs/save-report.schema.json")), report),
              "");
    const nlohmann::json& changed = report["valuesChanged"];
    ASSERT_EQ(changed["changes"].size(), 1u);
    const nlohmann::json& c = changed["changes"][0];
    EXPECT_EQ((nlohmann::json{report["result"]["code"], changed["count"], c["item"], c["old"], c["new"], changed["command"]}),
              (nlohmann::json{"0x00000000", 1, "SV", "42.000000", "43.000000", nullptr}));
    // Blocks and records: the sample's listed blocks and their saved records.
    unsigned blocks = 0, records = 0;
    for (const sample::BlockInfo& b : st.blocks)
        if (b.listed)
            ++blocks, records += std::min(8u, static_cast<unsigned>(std::ranges::count(b.records, true, &sample::RecordInfo::saved)));
    EXPECT_EQ(report["saved"], (nlohmann::json{{"blocks", blocks}, {"records", records}, {"editFilesPassedOver", 0}}));
    const auto& written = report["filesWritten"];
    ASSERT_FALSE(report["steps"].empty());
    const auto count = [&](const std::string& f) { return std::count(written.begin(), written.end(), f); };
    EXPECT_EQ((nlohmann::json{report["frames"]["sent"].get<int>() > 0, report["frames"]["received"], count(tp), count(st.databasePath),
                              report["steps"].back()["to"], report["progress"].size()}),
              (nlohmann::json{true, report["frames"]["sent"], 1, 1, 100, report["steps"].size() + 1}));

    // Nothing changed.
    const nlohmann::json same = json(save + "--json", e2e::kT0 + 120)["valuesChanged"];
    EXPECT_EQ((nlohmann::json{same["count"], same["changes"]}), (nlohmann::json{0, nlohmann::json::array()}));
    EXPECT_EQ((std::pair{tusave(diff), status_}), (std::pair{Lines{}, 0}));

    // Missing edit files, one used by one block and then one more used by two: the save says so
    // in its summary, and does not count their blocks as brought into line.
    const std::string fb = home_.result->projectDir + "/FCS0101/FUNCTION_BLOCK/";
    long when = e2e::kT0 + 240;
    for (const auto& [file, warnings, inLine] : {std::tuple{"DR0003/CAL0041.edf", 5, "45 blocks brought into their "
                                                            "edit files, 1 passed over"},
                                                 std::tuple{"DR0001/PIC0001.edf", 6, "43 blocks brought into their "
                                                            "edit files, 3 passed over"}}) {
        fs::remove(fb + file);
        lines = tusave(save + "--summary", "", when += 60);
        ASSERT_EQ(status_, 0) << err_;
        at = e2e::find_prefix(lines, "Saved ");
        ASSERT_NE(at, lines.end());
        // The sample of the suite has no backup tool: its runs warn too (one warning per file).
        EXPECT_TRUE(at->find("Saved FCS0101 of DEMO with " + std::to_string(warnings) + " warnings in ") != std::string::npos &&
                    at->find(" s: " + std::to_string(blocks) + " blocks, " + std::to_string(records) + " records from the station; " +
                             inLine + " (edit file not found).") != std::string::npos) << *at;
    }
    at = std::find(lines.begin(), lines.end(), "Warnings:");
    ASSERT_GE(lines.end() - at, 3);
    EXPECT_EQ(Lines(at + 1, at + 3), (Lines{"  WRN:Edit file cannot be opened, passed over: PIC0001  (2 times)",
                                            "  WRN:Edit file cannot be opened, passed over: CAL0041"}));
}

// save --all side by side: every station saved and recorded once in the history; a station that
// another save holds, or that fails its check, is named and the others are saved.
TEST_F(Cli, SaveAllSavesAndRecordsEveryStationAndReportsAHeldOrFailingOne) {
    sample::Description d = sample::default_description();
    d.stations.resize(8, d.stations[1]);
    for (int i = 0; i < 8; ++i) d.stations[i].name = "FCS010" + std::to_string(i + 1), d.stations[i].number = i + 1;
    Build(d, true);
    auto table = [&](const Lines& lines, int i) {   // the row of station i (from 0)
        return lines.size() < 8 ? std::string() : lines[lines.size() - 8 + static_cast<std::size_t>(i)];
    };
    auto lines = tusave("save --all --project DEMO --jobs 8 --reason nightly");
    EXPECT_EQ(status_, 0) << err_;
    for (const auto& l : lines) EXPECT_EQ(l.find("locked"), std::string::npos) << l;
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(table(lines, i).substr(0, 46), d.stations[i].name + "     saved                   0x00000000");
    const nlohmann::json saves = json("history --project DEMO --json");
    ASSERT_TRUE(saves.is_array());
    std::multiset<std::string> stations, want;
    for (const auto& s : saves) {
        stations.insert(s["station"].get<std::string>());
        EXPECT_TRUE(s["state"] == "done" && s["reason"] == "nightly" && s["valuesChanged"].get<int>() > 0) << s.dump();
    }
    for (const auto& s : d.stations) want.insert(s.name);
    // A station missing here says why in what save --all printed.
    EXPECT_EQ(stations, want) << ::testing::PrintToString(lines) << err_;

    // A station that refuses the generation query (at once, not after the bus time-out, which the
    // silent station of EveryCommonMistake... proves) fails with the check's code, in drift --all
    // too, which lists a station with a value changed since its save and the others in line; a
    // station that another save holds is named; the others are saved.
    SetStationFloat("PIDLOOP", 16, 42.0f);
    RestartStation(R"({"station": 2, "command": "geninfo", "status": 5, "times": 0})");
    lines = tusave("drift --all --project DEMO --jobs 4", "", 0);
    EXPECT_EQ(status_, 2);
    EXPECT_NE(err_.find("tusave drift --all: 1 of 8 station(s) could not be checked: FCS0102"), std::string::npos) << err_;
    const auto head = e2e::find_prefix(lines, "station ");
    ASSERT_GE(lines.end() - head, 9);
    for (int i = 1; i <= 8; ++i)
        EXPECT_TRUE(head[i].rfind(d.stations[i - 1].name + " ", 0) == 0 &&
                    head[i].find(i == 2 ? "failed" : i == 1 ? "unsaved values" : "in line with the project") != std::string::npos)
            << head[i];
    const std::string historyDb = dir_ + "/projects/DEMO/HISTORY/tuning.sqlite";
    EXPECT_EQ(history::Database::open(historyDb, false).last_drift_checks(2).size(), 8u);
    // A history database that cannot be opened: each save goes on, and is named as not recorded.
    fs::rename(historyDb, historyDb + ".aside");
    fs::create_directory(historyDb);
    void* held = nullptr;
    setenv("TUSAVE_HOME", dir_.c_str(), 1);
    ASSERT_EQ(QVEEdaGenLockStation("DEMO", "FCS0103", 0, nullptr, 0, &held), 0u);
    lines = tusave("save --all --project DEMO --jobs 4");
    QVEEdaGenUnlockStation("DEMO", "FCS0103", held);
    unsetenv("TUSAVE_HOME");
    EXPECT_EQ(status_, 1);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(table(lines, i).rfind(d.stations[i].name + (i == 1   ? "     failed                  0x20234104"
                                                             : i == 2 ? "     held by another save"
                                                                      : "     saved                   0x00000000"), 0), 0u)
            << table(lines, i);
    for (int i : {0, 3, 7})   // the values each save changed: the one set above, none on the others
        EXPECT_NE(table(lines, i).find(i == 0 ? "       1  " : "       0  "), std::string::npos) << table(lines, i);
    for (int i : {0, 3, 7})
        EXPECT_NE(std::find(lines.begin(), lines.end(), d.stations[i].name + ": WRN:This save is not recorded in the history database: " +
                                                            historyDb + ": not a regular file"),
                  lines.end())
            << ::testing::PrintToString(lines);
}

// SIGINT during the edit file step of a 4000-block save: exit 130, one line with the project's
// state, the lock given back, the history log's end line, every file old or new; the next save
// brings everything into line.
TEST_F(Cli, InterruptDuringTheEditStepLeavesEveryFileOldOrNew) {
    sample::Description d = sample::default_description();
    d.stations[0].blocks = 4000;
    Build(d);
    const auto before = project_files::snapshot(dir_);
    // Its stdout read line by line as it comes; the shell says its process id first, which tusave keeps.
    const std::string cmd = "echo $$; " + command(kTusave, kSave + "--mode 2", "", e2e::kT0, true);
    std::unique_ptr<FILE, int (*)(FILE*)> out(popen(cmd.c_str(), "r"), pclose);
    ASSERT_TRUE(out);
    char b[4096];
    std::string l;
    auto line = [&] { return fgets(b, sizeof b, out.get()) && (l.assign(b, std::strcspn(b, "\n")), true); };
    ASSERT_TRUE(line());
    const pid_t pid = std::stoi(l);
    while (line() && l != "PRG:30") continue;
    ASSERT_EQ(l, "PRG:30");
    kill(pid, SIGINT);
    bool late = false;
    while (line()) late = late || l == "PRG:40";
    const int st = pclose(out.release());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 130) << st;
    EXPECT_FALSE(late) << "SIGINT came too late";
    EXPECT_EQ(e2e::read_text(dir_ + ".stderr"), "tusave save: the save of FCS0101 interrupted by SIGINT: the project "
                                                "is partly updated: run the save again\n");
    std::string history = e2e::read_text(dir_ + "/log/history.log");
    history = history.substr(0, history.find_last_not_of('\n') + 1);
    EXPECT_NE(history.substr(history.rfind('\n') + 1).find("\tDEMO\tFCS0101\tTP \tabort\tFCS0101"), std::string::npos) << history;
    const auto interrupted = project_files::snapshot(dir_);

    ASSERT_EQ(exit_of(kSave + "--mode 2"), 0) << err_;   // the lock was given back
    EXPECT_GT(e2e::expect_saved_records_equal_memory(home_.result->stations[0]), 0u);
    // Every project file (but the history database) old or new, and some new.
    const auto history_db = [](const std::string& p, auto*, auto*, auto*) { return p.find("/HISTORY/") != std::string::npos; };
    EXPECT_EQ(e2e::neither_old_nor_new(before, project_files::snapshot(dir_), interrupted, history_db), Lines{});
    EXPECT_NE(e2e::neither_old_nor_new(before, before, interrupted, history_db), Lines{});
}

// Each common mistake and refusal: the failure line names the thing that failed and what to do.
TEST_F(Cli, EveryCommonMistakeGetsAFailureLineWithTheThingAndTheRemedy) {
    sample::Description d = sample::default_description();
    void* lock = nullptr;
    // "@" in a part of the line stands for the workstation folder of the row.
    struct Row {
        const char* name;
        std::function<void()> arrange;
        std::string args, env;
        Lines said;   // parts of the failure line
    };
    const std::string save = "save --project DEMO --station FCS0101", save2 = kSave + "--mode 2";
    const std::string userinst = "@/projects/DEMO/FCS0101/DB/userinst.json";
    const std::vector<Row> rows = {
        {"unknown project", [] {}, "save --project DEMOX --station FCS0101", "",
         {"the project DEMOX does not exist", "(projects in @/projects: DEMO)"}},
        {"bad control bus address", [&] { e2e::set_bus(home_.result->workstationJson, "udp:127.0.0.1:notaport"); }, save, "",
         {"the control bus address \"udp:127.0.0.1:notaport\"", "\"controlBus\" in @/workstation.json",
          "udp:127.0.0.1:PORT"}},
        {"generation mismatch", [&] {
             sample::Description m = d;
             m.stations[0].memoryGenerationStamp = m.stations[0].generationStamp + 86400;
             Build(m);
             EXPECT_EQ(exit_of("check --project DEMO --station FCS0101"), 1);
         }, save, "",
         {"the station runs the generation of 2026-01-02 00:00:00 +0000",
          "the project's database file is of 2026-01-01 00:00:00 +0000", "--mode 2", "wrong places"}},
        {"damaged user instance file", [&] { std::ofstream(dir_ + userinst.substr(1)) << "{ not json"; }, save, "",
         {"the user instance file " + userinst + " is damaged", "restore it"}},
        {"silent station", [&] { RestartStation(R"({"command": "geninfo", "noReply": true, "times": 0})"); }, save,
         "TUSAVE_FAILPOINTS='WaitForSingleObject=258+;WaitForMultipleObjects=258+'",
         {"did not answer for station FCS0101 (number 1)", "fcssim --home @"}},
        {"simulator not running", [&] { home_.sim.reset(); }, save, "",
         {"no station listens at udp:127.0.0.1:", "\"controlBus\" in @/workstation.json", "fcssim --home @ &"}},
        {"unknown station", [] {}, "save --project DEMO --station FCS0109", "",
         {"the station FCS0109 is not in the system configuration", "its stations: FCS0101, FCS0102"}},
        {"held by another save (this process)", [&] {
             ::setenv("TUSAVE_HOME", dir_.c_str(), 1);
             char info[16] = {};
             ASSERT_EQ(QVEEdaGenLockStation("DEMO", "FCS0101", 1, info, sizeof info, &lock), 0u);
         }, save2, "",
         {"failed with 0x2e00000b: station FCS0101 of project DEMO is held by another save (process " +
          std::to_string(::getpid()) + "): wait until it ends"}},
        {"malformed system configuration", [&] { std::ofstream(dir_ + "/projects/DEMO/SYSTEM/sysconfig.json") << "{ \"stations\": ["; },
         save2, "", {": @/projects/DEMO/SYSTEM/sysconfig.json: malformed JSON"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Build(d);
        row.arrange();
        tusave(row.args, row.env);
        if (lock) {
            EXPECT_EQ(QVEEdaGenUnlockStation("DEMO", "FCS0101", lock), 0u);
            ::unsetenv("TUSAVE_HOME");
            lock = nullptr;
        }
        EXPECT_EQ(status_, 1);
        std::string line = err_.substr(0, err_.find_last_not_of('\n') + 1);   // its last line
        line = line.substr(line.rfind('\n') + 1);
        EXPECT_EQ(line.rfind("tusave save: the save of ", 0), 0u) << line;
        for (std::string part : row.said) {
            if (auto at = part.find('@'); at != std::string::npos) part.replace(at, 1, dir_);
            EXPECT_NE(line.find(part), std::string::npos) << part << "\n" << line;
        }
        EXPECT_NE(line.find("(tusave explain 0x"), std::string::npos) << line;
        // A mistyped station makes no station of its own in the history.
        EXPECT_FALSE(row.args.find("FCS0109") != std::string::npos &&
                     fs::exists(dir_ + "/projects/DEMO/HISTORY/tuning.sqlite"));
    }

    Build(d);
    // A name that would forge an output line is a usage error: nothing runs.
    EXPECT_EQ((std::pair{tusave("save --project DEMO --station \"$(printf 'FCS0101\\nRESULT 0x00000000')\" --raw"), status_ != 0}),
              (std::pair{Lines{}, true}));
    // A folder sync that fails after the rename: the new file, and a line that says so.
    const auto lines = tusave(save2 + " --raw", "TUSAVE_FAILPOINTS='CloseHandle.syncdir=5'");
    EXPECT_EQ(status_, 1);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](auto& l) { return l.ends_with(" (written, but not confirmed on disk)"); }))
        << ::testing::PrintToString(lines);
}

// Usage errors exit 2 naming the option; a missing workstation folder is refused before
// anything is made in it; tusave alone prints its help; fcssim's own surface.
TEST_F(Cli, UsageErrorsNameTheOption) {
    const struct { std::string args, named; } rows[] = {
        {kSave + "--kind 5", "--kind"}, {kSave + "--mode 3", "--mode"}, {kSave + "--jobs 2", "--jobs"},
        {"save --project DEMO --all --summary", "--summary"}, {"history --project DEMO --station FCS0109", "FCS0101, FCS0102"},
        {"diff --project DEMO --station FCS0109", "FCS0101, FCS0102"}, {"sample '" + dir_ + "'", "--force"},
        {"explain 0x12345678", "0x12345678"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        EXPECT_EQ(exit_of(row.args), 2);
        EXPECT_NE(err_.find(row.named), std::string::npos) << err_;
    }
    // A code by its name: the meaning and what to do.
    const std::string gentime = e2e::joined(tusave("explain TUSAVE_E_GENTIME"));
    EXPECT_EQ(status_, 0);
    EXPECT_NE(gentime.find("  what to do: Download the project to the station"), std::string::npos) << gentime;
    const std::string missing = dir_ + "/nowhere";
    EXPECT_EQ(exit_of(kSave, "TUSAVE_HOME='" + missing + "'"), 2);
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_NE(err_.substr(0, err_.find('\n')).find("the workstation folder " + missing + " does not exist"),
              std::string::npos) << err_;
    EXPECT_EQ((std::pair{tusave("").empty(), status_}), (std::pair{false, 0}));
    EXPECT_EQ(exit_of("sample '" + dir_ + "' --force"), 0);

    EXPECT_EQ((run(kFcssim, "--no-such-option"), status_), 2);
    const auto version = run(kFcssim, "--version");
    EXPECT_TRUE(status_ == 0 && !version.empty() && version[0].rfind("fcssim ", 0) == 0) << ::testing::PrintToString(version);
    const std::string busy = home_.sim->device();
    EXPECT_EQ((run(kFcssim, "--home '" + dir_ + "' --listen " + busy), status_), 1);
    EXPECT_NE(err_.substr(0, err_.find('\n')).find(busy + " is in use by another program"), std::string::npos) << err_;
}

// Too many drawings are refused before anything is written. A plant of --stations that one fcssim
// serves whole installs the backup tool: each save copies every custom file of the FCS side and
// none of the SIM side; a name with a line feed is passed over with one escaped warning (no line of
// its own), one as long as a name can be is copied.
TEST_F(Cli, SamplesFromTheCliAreServedAndSavedAsBuilt) {
    EXPECT_EQ(exit_of("sample '" + dir_ + "/wide' --blocks 4000 --blocks-per-drawing 8"), 1);
    EXPECT_TRUE(err_.find("blocksPerDrawing") != std::string::npos && !fs::exists(dir_ + "/wide")) << err_;

    const std::string cli = dir_ + "/cli";
    ASSERT_EQ(exit_of("sample --byte-order host '" + cli + "' --stations 3 --blocks 40 --blocks-per-drawing 8"), 0) << err_;
    ASSERT_TRUE(fs::is_regular_file(cli + "/FCS/tool/shgsave"));
    // The same description again gives the same files, where each record lies, and the list of
    // what the save hands on.
    sample::Description d = sample::default_description();
    d.stations.push_back(sample::default_station(2));
    for (auto& s : d.stations) s.byteOrder = "host", s.blocks = 40, s.blocksPerDrawing = 8;
    const sample::Result res = sample::build(d, cli);
    e2e::Fcssim sim(cli);
    ASSERT_FALSE(sim.device().empty());
    e2e::set_bus(res.workstationJson, sim.device());
    const std::string folder = fs::path(res.stations[0].toolFilesFcs.at(0)).parent_path().string();
    std::ofstream(folder + "/ab\nRESULT 0x00000000.xseg") << "forged";
    std::ofstream(folder + "/" + std::string(250, 'L') + ".xseg") << "long";
    std::size_t fcsFiles = 1;   // the long name
    for (const sample::StationResult& st : res.stations) {
        SCOPED_TRACE(st.name);
        const auto lines = tusave("save --project DEMO --station " + st.name + " --raw", "TUSAVE_HOME='" + cli + "'", 0);
        ASSERT_FALSE(lines.empty()) << err_;
        EXPECT_EQ((std::tuple{status_, std::ranges::count(lines, "RESULT 0x00000000"), lines.back()}),
                  (std::tuple{0, 1, "RESULT 0x00000000"})) << err_;
        EXPECT_EQ(e2e::starting_with(lines, "WRN:"), &st != &res.stations[0] ? Lines{} : Lines{"WRN:LdTuSaveCtrlUpdateParmFile:custom "
                  "file name refused:\"" + folder + "/ab\\x0aRESULT 0x00000000.xseg\""});
        EXPECT_GT(e2e::expect_saved_records_equal_memory(st), 0u);
        fcsFiles += st.toolFilesFcs.size();
    }
    bool longCopied = false;
    std::size_t copies = 0;
    for (const auto& e : fs::recursive_directory_iterator(cli + "/backup/shgsave")) {
        if (!e.is_regular_file()) continue;
        ++copies;
        EXPECT_EQ(e.path().string().find("/SIM/"), std::string::npos) << e.path();
        longCopied = longCopied || e.path().filename().string().size() == 255;
    }
    EXPECT_EQ(copies, fcsFiles);   // what each copy holds: tool_backup_test
    EXPECT_TRUE(longCopied);
}

// The one table of result codes holds every code the library and the services define, and no
// other; docs/result-codes.md is what tusave explain --markdown prints from it.
TEST(ResultCodes, TheTableHoldsEveryDefinedCodeAndTheDocsAreItsPrint) {
    std::set<unsigned> defined;
    const std::regex def(R"((?:constexpr\s+[\w:]+\s+\w+\s*=|#define\s+TUSAVE_E_\w+)\s*(0x[0-9A-Fa-f]+)u?)");
    for (const char* file : {"LdLoad/libqveldtusave/include/tusave_results.h", "LdLoad/libqveldtusave/services/libqveeda.h",
                             "workstation/libqveeda/eda_status.h", "workstation/libqverxgen/inst_def.h"}) {
        const std::string text = e2e::read_text(std::string(TUSAVE_SOURCE_DIR) + "/" + file);
        ASSERT_FALSE(text.empty()) << file;
        for (std::sregex_iterator it(text.begin(), text.end(), def), end; it != end; ++it)
            defined.insert(static_cast<unsigned>(std::stoul((*it)[1].str(), nullptr, 16)));
    }
    EXPECT_GE(defined.size(), 39u);
    for (unsigned code : defined) {
        const tusave_result_info* r = tusave_result_find(code);
        ASSERT_NE(r, nullptr) << std::hex << code;
        EXPECT_TRUE(*r->meaning && *r->remedy && *r->name) << r->name;
    }
    unsigned n = 0;
    const tusave_result_info* t = tusave_result_table(&n);
    for (unsigned i = 0; i < n; ++i) EXPECT_TRUE(t[i].code == 0 || defined.count(t[i].code)) << t[i].name;
    Lines printed;
    EXPECT_EQ(e2e::shell("'" + kTusave + "' explain --markdown", &printed), 0);
    EXPECT_EQ(e2e::joined(printed), e2e::read_text(TUSAVE_SOURCE_DIR "/docs/result-codes.md"))
        << "regenerate: tusave explain --markdown > docs/result-codes.md";
}

}  // namespace
