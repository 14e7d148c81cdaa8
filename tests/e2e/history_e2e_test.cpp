// The history database as a user meets it: log, diff and archive over seven saves, odd files in
// place of the database or the TP file; tusave drift (drift --all: Cli.SaveAll...).
#include <sys/stat.h>

#include <map>

#include "e2e_fcssim.h"
#include "history.h"
#include "libqverxeda/gen_lock.h"
#include "tpfile.h"

namespace {

namespace fs = std::filesystem;
using e2e::kT0;
using Lines = std::vector<std::string>;

class History : public e2e::CliTest {
protected:
    void SetUp() override { Build(sample::default_description(), true); }
    std::string project() const { return dir_ + "/projects/DEMO"; }
};

std::optional<std::string> ValueOf(const tpfile::File& f, const std::string& model, const std::string& label,
                                   std::string* tag = nullptr) {
    for (const tpfile::Block& b : f.blocks)
        for (const tpfile::Item& it : b.items)
            if (b.model == model && it.label == label) return tag ? *tag = b.tag, it.value : it.value;
    return std::nullopt;
}

// Seven saves (more than the archive keeps); each value is set more than once in between.
TEST_F(History, SevenSavesLogDiffAndArchive) {
    constexpr int kSaves = 7;
    const std::string tp = project() + "/FCS0101/TP/tuning.tps";
    const std::string save = "save --project DEMO --station FCS0101 --mode 2 --raw --reason ";
    // The station's SV of the first PIDLOOP block is set before saves 2, 4 and 6, K[2] of the
    // first CALCBLK before 3 and 5.
    const std::map<int, std::pair<std::string, float>> set = {
        {2, {"PIDLOOP", 40.f}}, {3, {"CALCBLK", -1.5f}}, {4, {"PIDLOOP", 41.f}}, {5, {"CALCBLK", 2.25f}}, {6, {"PIDLOOP", 42.5f}}};
    std::vector<tpfile::File> copies(1);   // copies[k]: the TP file save k wrote
    for (int k = 1; k <= kSaves; ++k) {
        if (auto s = set.find(k); s != set.end()) {
            SetStationFloat(s->second.first, s->second.first == "PIDLOOP" ? 16 : 20, s->second.second);
            RestartStation();
        }
        const std::string reason = "'shift " + std::to_string(k) + "'";
        ASSERT_EQ((std::pair{e2e::starting_with(tusave(save + reason, "", kT0 + 60 * k), "WRN:"), status_}),
                  (std::pair{Lines{}, 0})) << err_;
        fs::copy_file(tp, dir_ + "/copy" + std::to_string(k) + ".tps");
        copies.push_back(tpfile::read(tp));
    }

    // The database holds all seven, newest first, with their reasons, times and TP files (states:
    // Cli.SaveAll...).
    const long later = kT0 + 3600;
    const nlohmann::json saves = json("history --project DEMO --station FCS0101 --json", later);
    ASSERT_EQ(saves.size(), std::size_t{kSaves}) << saves.dump();
    for (int i = 0; i < kSaves; ++i) {
        const int k = kSaves - i;
        const std::string started = history::moment_text({kT0 + 60 * k, 0}).replace(10, 1, "T").substr(0, 19) + "+00:00";
        // Each save after the first follows on from the one before: no baseline.
        EXPECT_EQ((nlohmann::json{saves[i]["save"], saves[i]["reason"], saves[i]["started"], saves[i]["tpSha256"],
                                  saves[i]["baseline"]}),
                  (nlohmann::json{k, "shift " + std::to_string(k), started,
                                  history::sha256_hex(e2e::read_text(dir_ + "/copy" + std::to_string(k) + ".tps")), k == 1}));
    }
    // The archive keeps the last five only.
    Lines archive;
    for (const auto& c : tpfile::archive_copies(tp)) archive.push_back(c.name);
    EXPECT_EQ(archive, (Lines{"TP20260101000700.txt", "TP20260101000600.txt", "TP20260101000500.txt",
                              "TP20260101000400.txt", "TP20260101000300.txt"}));

    // log of SV: exactly the saves whose TP file changed it (the first save adds every block).
    std::string tag;
    ASSERT_TRUE(ValueOf(copies[1], "PIDLOOP", "SV", &tag));
    Lines want, got;
    for (int k = kSaves; k >= 1; --k) {
        const auto now = ValueOf(copies[k], "PIDLOOP", "SV"), was = k > 1 ? ValueOf(copies[k - 1], "PIDLOOP", "SV") : std::nullopt;
        if (now != was)
            want.push_back(history::moment_text({kT0 + 60 * k, 0}) + " save " + std::to_string(k) + " " +
                           was.value_or("-") + " -> " + now.value_or("-") + " shift " + std::to_string(k));
    }
    ASSERT_EQ(want.size(), 4u);   // saves 6, 4, 2 and 1
    for (const auto& c : json("log --project DEMO --station FCS0101 --tag " + tag + " --item SV --json", later))
        got.push_back(history::moment_text({kT0 + 60 * c["save"]["save"].get<long>(), 0}) + " save " +
                      std::to_string(c["save"]["save"].get<int>()) + " " +
                      (c["old"].is_null() ? "-" : c["old"].get<std::string>()) + " -> " + c["new"].get<std::string>() +
                      " " + c["save"]["reason"].get<std::string>());
    EXPECT_EQ(got, want);

    // diff between two saves is the diff of the two TP files they wrote.
    const auto fromFiles = tusave("diff '" + dir_ + "/copy2.tps' '" + dir_ + "/copy7.tps'", "", later);
    EXPECT_EQ((std::pair{fromFiles.size(), status_}), (std::pair{std::size_t{2}, 1}));   // SV and K[2], each changed more than once
    EXPECT_EQ((std::pair{tusave("diff --project DEMO --station FCS0101 --from 2 --to 7", "", later), status_}),
              (std::pair{fromFiles, 1}));
    // By date, and against the TP file now.
    EXPECT_EQ(tusave("diff --project DEMO --station FCS0101 --from '2026-01-01 00:02:30' --to 7", "", later), fromFiles);
    EXPECT_EQ(exit_of("diff --project DEMO --station FCS0101 --from 7", "", later), 0);

    // A history rebuilt from the TP files: the archive copies oldest first, a damaged one named
    // and skipped, the TP file not twice (it is its newest copy); only into an empty history.
    fs::remove_all(project() + "/HISTORY");
    std::ofstream(fs::path(tp).parent_path() / "TP20260101000300.txt", std::ios::trunc) << "damaged";
    const std::string import = "history --import --project DEMO --station FCS0101";
    const auto imported = tusave(import, "", later);
    EXPECT_EQ(status_, 0) << err_;
    ASSERT_EQ(imported.size(), 2u) << ::testing::PrintToString(imported);
    EXPECT_EQ(imported[0], "FCS0101: 4 TP file(s) imported, oldest first: TP20260101000400.txt, TP20260101000500.txt, "
                           "TP20260101000600.txt, TP20260101000700.txt");
    EXPECT_EQ(imported[1].rfind("FCS0101: skipped TP20260101000300.txt: ", 0), 0u) << imported[1];
    EXPECT_EQ(json("history --project DEMO --station FCS0101 --json", later).size(), 4u);
    EXPECT_EQ(exit_of(import, "", later), 1);
    EXPECT_NE(err_.find("already holds 4 save(s)"), std::string::npos) << err_;
}

// Odd files where the save keeps its history or finds the TP file before it: a damaged database,
// a FIFO or a file of 256 MiB and one byte in place of the TP file (a device: the reader's test).
// The save goes on without its history record, or fails its TP step for what is no regular file,
// and says so; the readers end with a line that says what is wrong; the history files stay.
TEST_F(History, OddDatabaseOrTpFilesAreNamedAndLeftAsTheyWere) {
    const std::string db = project() + "/HISTORY/tuning.sqlite", tp = project() + "/FCS0101/TP/tuning.tps";
    auto history = [&] {
        project_files::Files f = project_files::snapshot(dir_);
        std::erase_if(f, [](const auto& e) { return e.first.find("/HISTORY") == std::string::npos; });
        return f;
    };
    const std::string diff = "diff --project DEMO --station FCS0101", huge = tp + ": larger than 256 MiB";
    const struct {
        const char* name;
        std::function<void()> arrange;
        int saved;
        Lines said;   // parts of the save's summary
        std::string reader;
        Lines readerSaid;   // parts of the error of the reader run before the save (it exits 2)
    } cases[] = {
        {"damaged database", [&] { fs::create_directories(project() + "/HISTORY"), std::ofstream(db) << std::string(5000, 'x'); }, 0,
         {"WRN:This save is not recorded in the history database: " + db + ": ", "History: not recorded ("},
         "history --project DEMO --station FCS0101", {"the history database is damaged", "mv '" + db + "' '" + db + ".damaged'"}},
        {"huge TP file", [&] { std::ofstream(tp, std::ios::trunc).close(), fs::resize_file(tp, tpfile::kMaxFileSize + 1); }, 0,
         {"(against not told: the TP file before the save: " + huge}, diff, {"tusave diff: " + huge}},
        {"FIFO as the TP file", [&] { fs::remove(tp); ASSERT_EQ(::mkfifo(tp.c_str(), 0644), 0); }, 1,
         {"Save of FCS0101 failed after ", ": 0x20234105 ("}, diff, {"tusave diff: " + tp + ": not a regular file"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(project() + "/HISTORY");
        c.arrange();
        const auto before = history();
        EXPECT_EQ(exit_of(c.reader), 2);
        for (const std::string& part : c.readerSaid) EXPECT_NE(err_.find(part), std::string::npos) << part << "\n" << err_;
        const std::string out = e2e::joined(tusave("save --project DEMO --station FCS0101 --mode 2 --summary"));
        EXPECT_EQ(status_, c.saved) << out;
        for (const std::string& part : c.said) EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
        if (c.saved == 0) { EXPECT_GT(e2e::expect_saved_records_equal_memory(home_.result->stations[0]), 0u); }
        if (!before.empty()) { EXPECT_EQ(history(), before); }
    }
}

class Drift : public History {
protected:
    // Without a fixed time: each check and save at its own moment.
    Lines tusave(const std::string& args) { return CliTest::tusave(args, "", 0); }
    // Every file and folder under the workstation folder but the history database: its bytes
    // and modification time.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> m;
        for (auto it = fs::recursive_directory_iterator(dir_); it != fs::recursive_directory_iterator(); ++it) {
            const std::string p = it->path().string();
            if (p.rfind(dir_ + "/projects/DEMO/HISTORY", 0) == 0) continue;
            struct stat st {};
            lstat(p.c_str(), &st);
            m[p] = std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) +
                   (it->is_regular_file() ? ":" + e2e::read_text(p) : "");
        }
        return m;
    }
    history::Database db() const { return history::Database::open(project() + "/HISTORY/tuning.sqlite", false); }
};

// Values changed in the running station after its last save are listed with both values while
// nothing but the check's row in the database changes; a held station is refused; the next save
// records them, drift is then in line.
TEST_F(Drift, ThreeUnsavedValuesListedNothingChangedThenSavedAndInLine) {
    const std::string save = "save --project DEMO --station FCS0101 --mode 2 --raw", drift = "drift --project DEMO --station FCS0101";
    ASSERT_EQ(exit_of(save, "", 0), 0) << err_;
    for (const char* set : {"PIC0001 SV 42.5", "TI0002 HH -7.25", "FLD0009 LEVEL 4321"})
        ASSERT_EQ((run(e2e::kFcssim, "set --home '" + dir_ + "' --station FCS0101 " + set, "", 0), status_), 0) << err_;
    const auto before = snapshot();
    const nlohmann::json j = nlohmann::json::parse(e2e::joined(tusave(drift + " --json")), nullptr, false);
    EXPECT_EQ(status_, 1) << err_;
    ASSERT_TRUE(j.contains("changes")) << j.dump();
    std::set<std::string> found;
    for (const auto& c : j["changes"]) {
        EXPECT_TRUE(c["kind"] == "changed" && c["old"].is_string() && c["new"].is_string() && c["old"] != c["new"]) << c.dump();
        found.insert(c["tag"].get<std::string>() + " " + c["item"].get<std::string>() + " " + c["new"].get<std::string>());
    }
    EXPECT_EQ(found, (std::set<std::string>{"PIC0001 SV 42.500000", "TI0002 HH -7.250000", "FLD0009 LEVEL 4321"}));
    EXPECT_EQ(snapshot(), before);   // not a byte nor a modification time moved
    EXPECT_EQ((std::pair{tusave(drift).size(), status_}), (std::pair{std::size_t{3}, 1}));   // the plain form: a line per value

    setenv("TUSAVE_HOME", dir_.c_str(), 1);
    std::unique_ptr<eda::HeldGenLock> held;
    std::string error;
    ASSERT_EQ(eda::HeldGenLock::take("DEMO", "FCS0101", held, error), 0u) << error;
    EXPECT_EQ(exit_of(drift, "", 0), 2);
    EXPECT_NE(err_.find("is locked for generation by pid " + std::to_string(getpid())), std::string::npos) << err_;
    held.reset();
    unsetenv("TUSAVE_HOME");

    ASSERT_EQ(exit_of(save, "", 0), 0) << err_;
    EXPECT_EQ(db().saves("FCS0101").front().valuesChanged, 3);
    EXPECT_EQ(exit_of(drift, "", 0), 0) << err_;
    // Each check is recorded with its values; the last found nothing.
    const auto checks = db().last_drift_checks(2);
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].differences, 0);
    EXPECT_EQ(db().drift_values(checks[0].id - 3).size(), 3u);
}

}  // namespace
