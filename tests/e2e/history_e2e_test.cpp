// The history database as a user meets it: twenty saves with known changes between them (log
// lists exactly those, diff between two saves equals the diff of the two TP files they wrote,
// the archive keeps five copies while the database keeps all), a damaged or unwritable database
// that leaves the save as it was; and tusave drift: values changed in the running station after
// its last save are listed with both values while nothing of the project or the workstation
// changes but the check's row in the database, the next save records exactly those, drift then
// finds nothing; --all over a plant with a station that does not answer names it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <set>

#include "e2e_fcssim.h"
#include "history.h"
#include "libqverxeda/gen_lock.h"
#include "project_files.h"
#include "recorder.h"
#include "tpfile.h"

namespace {

namespace fs = std::filesystem;
using e2e::kT0;

class History : public e2e::CliTest {
protected:
    void SetUp() override {}
    std::vector<std::string> tusave_at(long time, const std::string& args) { return tusave(args, "", time); }
    nlohmann::json json_at(long time, const std::string& args) { return json(args, time); }
    std::string project() const { return dir_ + "/projects/DEMO"; }
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

TEST_F(History, TwentySavesLogDiffAndArchive) {
    Build(sample::default_description(), true);
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
        const auto lines = tusave_at(kT0 + 60 * k, save + "'shift " + std::to_string(k) + "'");
        ASSERT_EQ(status_, 0) << err_;
        for (const auto& l : lines) EXPECT_NE(l.rfind("WRN:", 0), 0u) << l;
        fs::copy_file(tp, dir_ + "/copy" + std::to_string(k) + ".tps");
        copies.push_back(tpfile::read(tp));
    }

    // The database holds all twenty, newest first, with their reasons and times.
    const nlohmann::json saves = json_at(kT0 + 3600, "history --project DEMO --station FCS0101 --json");
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
    const nlohmann::json log = json_at(kT0 + 3600, "log --project DEMO --station FCS0101 --tag " + tag + " --item SV --json");
    for (const auto& c : log)
        got.push_back(history::moment_text({kT0 + 60 * c["save"]["save"].get<long>(), 0}) + " save " +
                      std::to_string(c["save"]["save"].get<int>()) + " " +
                      (c["old"].is_null() ? "-" : c["old"].get<std::string>()) + " -> " + c["new"].get<std::string>() +
                      " " + c["save"]["reason"].get<std::string>());
    EXPECT_EQ(got, want);
    // The text form says the same, one line each.
    const auto text = tusave_at(kT0 + 3600, "log --project DEMO --station FCS0101 --tag " + tag + " --item SV");
    ASSERT_EQ(text.size(), 4u);
    EXPECT_EQ(text[0].rfind("2026-01-01 00:15:00 +0000  save 15  " + history::user_name() + "@", 0), 0u) << text[0];
    EXPECT_NE(text[0].find(" PIDLOOP SV: " + ValueOf(copies[14], "PIDLOOP", "SV").value() + " -> " +
                           ValueOf(copies[15], "PIDLOOP", "SV").value() + "  shift 15"),
              std::string::npos)
        << text[0];

    // diff between two saves is the diff of the two TP files they wrote.
    const auto fromDb = tusave_at(kT0 + 3600, "diff --project DEMO --station FCS0101 --from 3 --to 17");
    const int dbStatus = status_;
    const auto fromFiles = tusave_at(kT0 + 3600, "diff '" + dir_ + "/copy3.tps' '" + dir_ + "/copy17.tps'");
    EXPECT_EQ(dbStatus, 1);
    EXPECT_EQ(status_, 1);
    EXPECT_EQ(fromDb, fromFiles);
    EXPECT_EQ(fromDb.size(), 2u);   // SV and K[2], each changed more than once in between
    // By date, and against the TP file now.
    EXPECT_EQ(tusave_at(kT0 + 3600, "diff --project DEMO --station FCS0101 --from '2026-01-01 00:03:30' --to 17"), fromFiles);
    tusave_at(kT0 + 3600, "diff --project DEMO --station FCS0101 --from 20");
    EXPECT_EQ(status_, 0);
}

TEST_F(History, ADamagedOrUnwritableDatabaseLeavesTheSaveAsItWas) {
    Build(sample::default_description(), true);
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
    auto lines = tusave_at(kT0, save + "--raw");
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
    lines = tusave_at(kT0 + 60, save + "--summary");
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("History: not recorded (", 0) == 0; }),
              1);
    // history names the damage and the way out.
    tusave_at(kT0, "history --project DEMO --station FCS0101");
    EXPECT_EQ(status_, 2);
    EXPECT_NE(err_.find("the history database is damaged"), std::string::npos) << err_;
    EXPECT_NE(err_.find("mv '" + db + "' '" + db + ".damaged'"), std::string::npos) << err_;
    EXPECT_EQ(history(), before);

    // A file where its folder should be: unwritable, and the same.
    fs::remove_all(project() + "/HISTORY");
    std::ofstream(project() + "/HISTORY") << "not a folder";
    lines = tusave_at(kT0 + 120, save + "--raw");
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("WRN:", 0) == 0; }), 1);
    EXPECT_EQ(lines.back(), "RESULT 0x00000000");

    // Moved aside: the next save starts a new one.
    fs::remove(project() + "/HISTORY");
    tusave_at(kT0 + 180, save + "--raw --reason again");
    EXPECT_EQ(status_, 0);
    const nlohmann::json saves = json("history --project DEMO --json");
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_EQ(saves[0]["reason"], "again");
}

class Drift : public e2e::CliTest {
protected:
    void SetUp() override {}
    // Without a fixed time: each check and save at its own moment.
    std::vector<std::string> tusave(const std::string& args) { return CliTest::tusave(args, "", 0); }
    void set(const std::string& tag, const std::string& item, const std::string& value) {
        run(e2e::kFcssim, "set --home '" + dir_ + "' --station FCS0101 " + tag + " " + item + " " + value, "", 0);
        ASSERT_EQ(status_, 0) << err_;
    }
    // Every file and folder under the workstation folder but the history database: its bytes
    // and modification time.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> m;
        const std::string history = dir_ + "/projects/DEMO/HISTORY";
        for (auto it = fs::recursive_directory_iterator(dir_); it != fs::recursive_directory_iterator(); ++it) {
            const std::string p = it->path().string();
            if (p.rfind(history, 0) == 0) continue;
            struct stat st {};
            lstat(p.c_str(), &st);
            m[p] = std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) +
                   (it->is_regular_file() ? ":" + e2e::read_text(p) : "");
        }
        return m;
    }
    history::Database db() const {
        return history::Database::open(dir_ + "/projects/DEMO/HISTORY/tuning.sqlite", false);
    }
};

TEST_F(Drift, ThreeUnsavedValuesListedNothingChangedThenSavedAndInLine) {
    Build(sample::default_description(), true);
    const std::string save = "save --project DEMO --station FCS0101 --mode 2 --raw";
    tusave(save);
    ASSERT_EQ(status_, 0) << err_;
    set("PIC0001", "SV", "42.5");
    set("TI0002", "HH", "-7.25");
    set("FLD0009", "LEVEL", "4321");

    const auto before = snapshot();
    const nlohmann::json j = nlohmann::json::parse(
        [&] {
            std::string t;
            for (const auto& l : tusave("drift --project DEMO --station FCS0101 --json")) t += l + "\n";
            return t;
        }(),
        nullptr, false);
    EXPECT_EQ(status_, 1) << err_;
    ASSERT_TRUE(j.contains("changes")) << j.dump();
    std::set<std::string> found;
    for (const auto& c : j["changes"]) {
        EXPECT_EQ(c["kind"], "changed");
        EXPECT_TRUE(c["old"].is_string() && c["new"].is_string() && c["old"] != c["new"]) << c.dump();
        found.insert(c["tag"].get<std::string>() + " " + c["item"].get<std::string>() + " " +
                     c["new"].get<std::string>());
    }
    EXPECT_EQ(found, (std::set<std::string>{"PIC0001 SV 42.500000", "TI0002 HH -7.250000", "FLD0009 LEVEL 4321"}));
    // Not a byte nor a modification time of the project or the workstation folder moved.
    const auto after = snapshot();
    EXPECT_EQ(before.size(), after.size());
    for (const auto& [path, v] : before) {
        auto a = after.find(path);
        EXPECT_TRUE(a != after.end() && a->second == v) << path;
    }
    // The plain form: one line per value, the project's value first.
    const auto lines = tusave("drift --project DEMO --station FCS0101");
    EXPECT_EQ(status_, 1);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("PIC0001 PIDLOOP SV changed: "), std::string::npos) << lines[0];

    // The report page shows them on the station's row.
    const std::string page = dir_ + ".html";
    tusave("report --project DEMO --out '" + page + "'");
    EXPECT_EQ(status_, 0) << err_;
    const auto html = e2e::read_file(page);
    fs::remove(page);
    const std::string text(html.begin(), html.end());
    const std::size_t row = text.find("<tr data-station=\"FCS0101\"");
    ASSERT_NE(row, std::string::npos);
    EXPECT_NE(text.substr(row, text.find("</tr>", row) - row).find("data-v=\"3\">3</td>"), std::string::npos);

    // While a save holds the station, the check is refused and says by whom.
    {
        setenv("TUSAVE_HOME", dir_.c_str(), 1);
        std::unique_ptr<eda::HeldGenLock> held;
        std::string error;
        ASSERT_EQ(eda::HeldGenLock::take("DEMO", "FCS0101", held, error), 0u) << error;
        tusave("drift --project DEMO --station FCS0101");
        EXPECT_EQ(status_, 2);
        EXPECT_NE(err_.find("is locked for generation by pid " + std::to_string(getpid())), std::string::npos) << err_;
        unsetenv("TUSAVE_HOME");
    }

    // The save right after is not refused (the lock was given back) and records the three.
    tusave(save);
    ASSERT_EQ(status_, 0) << err_;
    EXPECT_EQ(db().saves("FCS0101").front().valuesChanged, 3);
    tusave("drift --project DEMO --station FCS0101");
    EXPECT_EQ(status_, 0) << err_;

    // Each check is recorded; the last found nothing.
    const auto checks = db().last_drift_checks(2);
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].station, "FCS0101");
    EXPECT_EQ(checks[0].differences, 0);
    EXPECT_EQ(checks[0].result, 0u);
    EXPECT_FALSE(checks[0].projectTpSha256.empty());
    EXPECT_EQ(db().drift_values(checks[0].id - 3).size(), 3u);
}

TEST_F(Drift, AllOverEightStationsOneAbsentGivesTheTableAndNamesIt) {
    sample::Description d = sample::default_description();
    d.stations.resize(1);
    d.stations[0].blocks = 16;
    for (int n = 2; n <= 8; ++n) {
        sample::Station s = d.stations[0];
        s.name = "FCS010" + std::to_string(n);
        s.number = n;
        d.stations.push_back(s);
    }
    Build(d, true);
    // FCS0105 is not served: its memory is taken away before fcssim starts again.
    fs::rename(dir_ + "/fcs/FCS0105", dir_ + "/FCS0105.away");
    RestartStation();
    tusave("save --project DEMO --station FCS0103 --mode 2 --raw");
    ASSERT_EQ(status_, 0) << err_;

    const auto lines = tusave("drift --all --project DEMO --jobs 4");
    EXPECT_EQ(status_, 2);
    EXPECT_NE(err_.find("tusave drift --all: 1 of 8 station(s) could not be checked: FCS0105"), std::string::npos)
        << err_;
    auto head = std::find_if(lines.begin(), lines.end(), [](const auto& l) { return l.rfind("station ", 0) == 0; });
    ASSERT_GE(lines.end() - head, 9);
    for (int n = 1; n <= 8; ++n) {
        const std::string& row = head[n];
        const std::string name = "FCS010" + std::to_string(n);
        SCOPED_TRACE(row);
        EXPECT_EQ(row.rfind(name + " ", 0), 0u);
        // FCS0103 was saved just now; the others never were, so all their values are unsaved.
        if (n == 5) EXPECT_NE(row.find("failed"), std::string::npos);
        else if (n == 3) EXPECT_NE(row.find("in line with the project"), std::string::npos);
        else EXPECT_NE(row.find("unsaved values"), std::string::npos);
    }
    EXPECT_EQ(db().last_drift_checks(2).size(), 8u);
}

}  // namespace
