// The history database over a chain of TP files (states, log, baselines, prune, migrations,
// damaged files, killed saves) and the TP reader it is built on.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "../workstation/common_fixture.h"
#include "history.h"
#include "plant_history.h"
#include "recorder.h"   // host_name

namespace {

namespace fs = std::filesystem;

using B = plant_history::Block;
using Opt = std::vector<std::optional<std::int64_t>>;

// A TP file as the writer writes it, saved at `time`.
history::TpFile Tp(std::int64_t time, const std::vector<B>& blocks) {
    history::TpFile f;
    f.exists = true, f.bytes = plant_history::tp_text(blocks, time), f.path = "tp" + std::to_string(time);
    f.sha256 = history::sha256_hex(f.bytes);
    return f;
}

// What a reader of the TP file sees: blocks, items in order, values.
std::string Shape(const tpfile::File& f) {
    std::string s;
    for (const auto& b : f.blocks) {
        s += std::to_string(b.blockNo) + " " + b.tag + " " + b.model + ":";
        for (const auto& it : b.items) s += " " + it.label + "=" + it.value;
        s += "\n";
    }
    return s;
}

std::string Changes(const tpfile::File& a, const tpfile::File& b) {
    std::string s;
    for (const auto& c : tpfile::diff(a, b))
        s += std::string(tpfile::kind_text(c.kind)) + " " + std::to_string(c.blockNo) + " " + c.tag + " " + c.label +
             " " + c.oldValue.value_or("-") + ">" + c.newValue.value_or("-") + "\n";
    return s;
}

// "<save> <old>><new>" per change, newest first.
std::vector<std::string> Log(const history::Database& db, const std::string& tag, const std::string& item) {
    std::vector<std::string> out;
    for (const auto& c : db.log("FCS0101", 2, tag, item))
        out.push_back(std::to_string(c.save.id) + " " + c.oldValue.value_or("-") + ">" + c.newValue.value_or("-"));
    return out;
}

// The kind of history::Error that f throws (nullopt: none).
template <class F>
std::optional<history::Error::Kind> KindOf(F f) {
    try { f(); } catch (const history::Error& e) { return e.kind; }
    return std::nullopt;
}

// The chain: a value change, a save that changed only its time, a block removed and one added,
// an item added in the middle and a tag changed, an item removed with the rest reordered.
const std::vector<std::vector<B>> kChain = {
    {{1, "PIC1", "PID", {{"SV", "1"}, {"GAIN", "2"}, {"TI", "3"}}}, {2, "TI2", "IND", {{"PV", "5"}}},
     {4, "CAL4", "CALC", {{"K[1]", "1"}, {"K[2]", "2"}}}},
    {{1, "PIC1", "PID", {{"SV", "1.5"}, {"GAIN", "2"}, {"TI", "3"}}}, {2, "TI2", "IND", {{"PV", "5"}}},
     {4, "CAL4", "CALC", {{"K[1]", "1"}, {"K[2]", "2"}}}},
    {{1, "PIC1", "PID", {{"SV", "1.5"}, {"GAIN", "2"}, {"TI", "3"}}}, {2, "TI2", "IND", {{"PV", "5"}}},
     {4, "CAL4", "CALC", {{"K[1]", "1"}, {"K[2]", "2"}}}},
    {{1, "PIC1", "PID", {{"SV", "1.5"}, {"GAIN", "2"}, {"TI", "3"}}}, {3, "BLK3", "SW", {{"X", "1"}, {"Y", "2"}}},
     {4, "CAL4", "CALC", {{"K[1]", "1"}, {"K[2]", "2"}}}},
    {{1, "PIC1", "PID", {{"SV", "1.5"}, {"NEW", "9"}, {"GAIN", "2"}, {"TI", "3"}}},
     {3, "BLK3", "SW", {{"X", "1"}, {"Y", "2"}}}, {4, "CAL4B", "CALC", {{"K[1]", "1"}, {"K[2]", "2"}}}},
    {{1, "PIC1", "PID", {{"TI", "3"}, {"SV", "1.5"}, {"NEW", "9"}}}, {3, "BLK3", "SW", {{"X", "1"}, {"Y", "7"}}},
     {4, "CAL4B", "CALC", {{"K[1]", "1"}, {"K[2]", "2"}}}},
};

class History : public WsTemp {
protected:
    void SetUp() override {
        WsTemp::SetUp();
        path_ = dir + "/HISTORY/tuning.sqlite";
    }
    // Records a save that turned before into after; returns its id.
    std::int64_t Record(history::Database& db, const history::TpFile* before, const history::TpFile& after,
                        const std::string& reason = "") {
        history::SaveStart s;
        s.station = "FCS0101", s.started = {tpfile::parse(after.bytes, "x").time, 0};
        s.user = "eng", s.host = "ews1", s.reason = reason;
        const std::int64_t id = db.begin(s);
        history::SaveEnd e;
        e.ended = s.started;
        db.finish(id, e, before, &after);
        return id;
    }
    // Records the saves of kChain into files and ids, at 1000, 2000, ...; reasons "r1", "r2", ...
    void RecordChain(history::Database& db) {
        for (std::size_t i = 0; i < kChain.size(); ++i) {
            files.push_back(Tp(1000 * static_cast<std::int64_t>(i + 1), kChain[i]));
            ids.push_back(Record(db, i ? &files[i - 1] : nullptr, files[i], "r" + std::to_string(i + 1)));
        }
    }
    std::string path_;
    std::vector<history::TpFile> files;
    std::vector<std::int64_t> ids;
};

// Two blocks: a category block and an ordinary one with escaped texts, 1- and 2-dimensional
// labels and a double-byte character whose second byte is a backslash.
const std::string kFile =
    ":::SOURCE\n"
    "1038478500:Thu Nov 28 10:15:00 2002;\n"
    "1:FPAR:1:SYSTEM:SYS001:1:MODELS:MODE=1;\n"
    "3:FPAR:3:GR0001:TAG0001:5:MODELA:GAIN=1.500000,TBL[1]=10,TBL[2]=20,MAT[1\\,1]=0,MAT[1\\,2]=5,"
    "NAME=Valve\\:A\\,B\\;C\\\\D,KANJI=\x95\\X;\n"
    "::::SOURCE\n";

tpfile::File Parse(const std::string& text) { return tpfile::parse(text, "tp.txt"); }

// The message of the tpfile::Error that f throws ("accepted" when it throws none).
template <class F>
std::string ErrorOf(F f) {
    try { f(); } catch (const tpfile::Error& e) { return e.what(); }
    return "accepted";
}

}  // namespace

TEST_F(History, EverySaveRebuildsItsTpFileAndLogListsExactlyTheChanges) {
    history::Database db = history::Database::open(path_, true);
    EXPECT_EQ(db.schema_version(), history::kSchemaVersion);
    RecordChain(db);
    std::vector<tpfile::File> parsed;
    for (const auto& f : files) parsed.push_back(tpfile::parse(f.bytes, f.path));
    for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(Shape(db.state(ids[i])), Shape(parsed[i])) << "save " << ids[i];

    // Only the first save is a baseline; the one that changed only its time holds no value.
    const auto saves = db.saves("FCS0101");
    ASSERT_EQ(saves.size(), 6u);
    for (const auto& s : saves) {
        EXPECT_EQ(s.baseline, s.id == ids[0]) << s.id;
        EXPECT_EQ(s.state, history::State::Done);
        EXPECT_EQ(s.tpSha256, files[static_cast<std::size_t>(s.id - ids[0])].sha256);
    }
    EXPECT_EQ((Opt{db.save(ids[2])->valuesChanged, db.save(ids[1])->valuesChanged}), (Opt{0, 1}));

    EXPECT_EQ((std::vector{Log(db, "PIC1", "SV"), Log(db, "PIC1", "NEW"), Log(db, "PIC1", "GAIN"), Log(db, "TI2", "PV"),
                           Log(db, "CAL4B", "K[2]"), Log(db, "CAL4", "K[2]")}),
              (std::vector<std::vector<std::string>>{{"2 1>1.5", "1 ->1"}, {"5 ->9"}, {"6 2>-", "1 ->2"}, {"4 5>-", "1 ->5"},
                                                     {"5 ->2"}, {"5 2>-", "1 ->2"}}));
    EXPECT_EQ(db.log("FCS0101", 2, "PIC1", "SV")[0].save.reason, "r2");

    // A TP file before the save that is not the one recorded last (a save in between was not
    // recorded): a baseline, whose old values are the last recorded state.
    const history::TpFile unrecorded = Tp(7000, {{1, "PIC1", "PID", {{"TI", "4"}, {"SV", "8"}, {"NEW", "9"}}}});
    const history::TpFile seventh = Tp(8000, {{1, "PIC1", "PID", {{"TI", "4"}, {"SV", "8"}, {"NEW", "10"}}}});
    const std::int64_t gap = Record(db, &unrecorded, seventh);
    EXPECT_TRUE(db.save(gap)->baseline);
    EXPECT_EQ(Shape(db.state(gap)), Shape(tpfile::parse(seventh.bytes, "7")));
    EXPECT_EQ((std::vector{Log(db, "PIC1", "SV")[0], Log(db, "BLK3", "Y")[0]}), (std::vector<std::string>{"7 1.5>8", "7 7>-"}));

    // Saves by number or by date; one that wrote no TP file cannot be compared.
    EXPECT_EQ(db.resolve("FCS0101", 2, "3").id, ids[2]);
    EXPECT_EQ(db.resolve("FCS0101", 2, "1970-01-01 01:15Z").id, ids[3]);   // 4500 s: the save at 4000
    history::SaveStart s;
    s.station = "FCS0101";
    const std::int64_t failed = db.begin(s);
    history::SaveEnd e;
    e.result = 0x2023410a, e.blocks = 3, e.records = 7;
    db.finish(failed, e, nullptr, nullptr);
    EXPECT_EQ(std::tuple(db.save(failed)->state, db.save(failed)->blocks, db.save(failed)->records),
              std::tuple(history::State::Failed, 3, 7));
    EXPECT_THROW(db.resolve("FCS0101", 2, std::to_string(failed)), history::Error);
    EXPECT_THROW(db.resolve("FCS0102", 2, "1"), history::Error);
}

TEST_F(History, PruneKeepsTheBaselineOfTheLaterSaves) {
    history::Database db = history::Database::open(path_, true);
    RecordChain(db);
    history::SaveStart s;   // a save still running (this process) from before the date
    s.station = "FCS0101", s.started = {100, 0};
    const std::int64_t running = db.begin(s);
    // Drift checks go with the saves of their time, with the values they found.
    history::DriftCheck d;
    d.station = "FCS0101", d.started = {4000, 0}, d.differences = 1;
    const std::int64_t early = db.record_drift(d, {{1, "PIC1", "PID", "SV", "1.5", "2"}});
    d.started = {5000, 0};
    const std::int64_t late = db.record_drift(d, {{1, "PIC1", "PID", "SV", "1.5", "3"}});

    // Before 4500: saves 1 to 3 go; 4 stays as the baseline of 5 and 6, with what it changed.
    const history::PruneResult r = db.prune(4500, "");
    EXPECT_EQ((Opt{r.removed, r.driftChecksRemoved}), (Opt{3, 1}));
    const auto lateValues = db.drift_values(late);
    ASSERT_EQ(lateValues.size(), 1u);
    EXPECT_EQ(std::tuple(db.drift_values(early).size(), lateValues[0].stationValue, r.baselines),
              std::tuple(0u, "3", std::vector<std::int64_t>{ids[3]}));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(db.save(ids[i])) << i;
    EXPECT_TRUE(db.save(running) && db.save(ids[3])->baseline);
    for (std::size_t i = 3; i < ids.size(); ++i)
        EXPECT_EQ(Shape(db.state(ids[i])), Shape(tpfile::parse(files[i].bytes, "f"))) << i;
    EXPECT_EQ((std::vector{Log(db, "PIC1", "SV"), Log(db, "BLK3", "X"), Log(db, "TI2", "PV"), Log(db, "PIC1", "NEW")}),
              (std::vector<std::vector<std::string>>{{}, {"4 ->1"}, {"4 5>-"}, {"5 ->9"}}));   // SV: changed by save 2 only

    // Everything before a date after the last save: the last state stays.
    EXPECT_EQ(db.prune(1000000, "FCS0101").removed, 2);
    EXPECT_EQ(Shape(db.state(ids[5])), Shape(tpfile::parse(files[5].bytes, "f")));
}

TEST_F(History, MigrationsRunInOneTransactionAndANewerFileIsRefused) {
    fs::create_directories(dir + "/HISTORY");
    const std::vector<std::string> v1 = {"CREATE TABLE t (x INTEGER)"};
    std::vector<std::string> v2 = v1;
    v2.push_back("ALTER TABLE t ADD COLUMN y INTEGER; UPDATE t SET y = 2 * x");
    {
        history::Database db = history::Database::open(path_, true, v1);
        EXPECT_EQ(db.schema_version(), 1);
        ASSERT_EQ(sqlite3_exec(db.handle(), "INSERT INTO t (x) VALUES (21)", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    auto y = [](const history::Database& db) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db.handle(), "SELECT y FROM t", -1, &s, nullptr);
        const int v = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int(s, 0) : -1;
        sqlite3_finalize(s);
        return v;
    };
    EXPECT_EQ(y(history::Database::open(path_, false, v2)), 42);
    // A step that fails leaves the version and the data as they were.
    std::vector<std::string> v3 = v2;
    v3.push_back("ALTER TABLE t ADD COLUMN z INTEGER; THIS IS NOT SQL");
    EXPECT_THROW(history::Database::open(path_, false, v3), history::Error);
    {
        history::Database db = history::Database::open(path_, false, v2);
        EXPECT_EQ(std::pair(db.schema_version(), y(db)), std::pair(2, 42));
    }
    EXPECT_EQ(KindOf([&] { history::Database::open(path_, false, v1); }), history::Error::Kind::Newer);
}

TEST_F(History, DamagedForeignOrUnreachableFilesAreRefusedUntouched) {
    using K = history::Error::Kind;
    const std::string folder = dir + "/HISTORY";
    // What is put in the folder: a database made by sql (garbage written over it when there is
    // none), a file for the folder, a folder for the file, nothing at all or an empty file (both
    // opened without creating).
    enum Put { Sql, FileForFolder, FolderForFile, Nothing, Empty };
    const std::tuple<const char*, Put, const char*, K> cases[] = {
        {"not a database", Sql, nullptr, K::Damaged},
        {"another program's database", Sql, "PRAGMA application_id = 7; CREATE TABLE a (b)", K::Damaged},
        {"a database with other tables", Sql, "CREATE TABLE a (b)", K::Damaged},
        {"the folder is a file", FileForFolder, nullptr, K::Open},
        {"a folder in the file's place", FolderForFile, nullptr, K::Open},
        {"no database", Nothing, nullptr, K::Missing},
        {"an empty file", Empty, nullptr, K::Missing},
    };
    auto listing = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(dir))
            names.push_back(e.path().string() + "=" + (e.is_regular_file() ? read(e.path()) : ""));
        return names;
    };
    for (const auto& [what, put, sql, kind] : cases) {
        fs::remove_all(folder);
        if (put == FileForFolder) std::ofstream(folder) << "x";
        if (put == FolderForFile) fs::create_directories(path_);
        if (put == Empty) fs::create_directories(folder), std::ofstream{path_};
        if (put == Sql) {
            fs::create_directories(folder);
            sqlite3* db = nullptr;
            sqlite3_open(path_.c_str(), &db);
            if (sql) sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
            sqlite3_close(db);
            if (!sql) std::ofstream(path_, std::ios::trunc) << std::string(8192, 'x');
        }
        const auto before = listing();
        EXPECT_EQ(KindOf([&] { history::Database::open(path_, put != Nothing && put != Empty); }), kind) << what;
        EXPECT_EQ(listing(), before) << what;
    }
}

TEST_F(History, ARunningSaveWhoseProcessIsGoneIsInterrupted) {
    history::Database db = history::Database::open(path_, true);
    history::SaveStart s;
    s.station = "FCS0101", s.host = history::host_name();   // a save of another host is never marked
    const std::int64_t live = db.begin(s);
    s.station = "FCS0102";
    const std::int64_t killed = db.begin(s);
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    const std::string sql = "UPDATE save SET pid = " + std::to_string(child) + " WHERE id = " + std::to_string(killed);
    ASSERT_EQ(sqlite3_exec(db.handle(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    // Another station's command leaves it; the next one on its station marks it; this process is alive.
    using S = history::State;
    EXPECT_EQ((std::tuple{db.settle("FCS0101"), db.save(killed)->state, db.settle("FCS0102"), db.save(killed)->state,
                          db.save(live)->state, db.settle()}),
              (std::tuple{0, S::Running, 1, S::Interrupted, S::Running, 0}));
}

TEST(HistoryDates, ParseTheFormsTheCommandsTake) {
    setenv("TZ", "UTC", 1);
    tzset();
    const std::vector<std::pair<std::string, std::optional<std::int64_t>>> cases = {
        {"2026-01-01", 1767225600}, {"2026-01-01 00:01", 1767225660}, {"2026-01-01T00:01:05", 1767225665},
        {"2026-01-01 09:00+09:00", 1767225600}, {"2026-01-01 00:00:00Z", 1767225600}, {"2026-1-01", std::nullopt},
        {"2026-13-01", std::nullopt}, {"2026-01-01 24:00", std::nullopt}, {"2026-01-01 00:00 trailing", std::nullopt},
        {"17", std::nullopt},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(history::parse_date(text), want) << text;
    EXPECT_EQ(history::moment_text({1767225600, 9 * 3600}), "2026-01-01 09:00:00 +0900");
    unsetenv("TZ");
    tzset();
}

// A file as the writer writes it, and its differences from a changed copy.
TEST(TpFile, ReadsWhatTheWriterWritesAndDiffsTwoFiles) {
    const tpfile::File f = Parse(kFile);
    ASSERT_EQ(f.blocks.size(), 2u);
    EXPECT_EQ(std::tuple(f.time, f.timeText, f.blocks[0].location), std::tuple(1038478500, "Thu Nov 28 10:15:00 2002", "SYSTEM"));
    const tpfile::Block& b = f.blocks[1];
    std::string got = std::to_string(b.seq) + " " + b.location + " " + b.tag + " " + std::to_string(b.blockNo) + " " + b.model;
    for (const auto& it : b.items) got += " " + it.label + "=" + it.value;
    EXPECT_EQ(got, "3 GR0001 TAG0001 5 MODELA GAIN=1.500000 TBL[1]=10 TBL[2]=20 MAT[1,1]=0 MAT[1,2]=5 "
                   "NAME=Valve:A,B;C\\D KANJI=\x95\\X");
    std::string next = kFile;
    next.replace(next.find("GAIN=1.500000"), 13, "GAIN=2.000000");
    next.replace(next.find(",TBL[2]=20"), 10, "");
    next.replace(next.find("1:FPAR:1:SYSTEM:SYS001:1:MODELS:MODE=1;\n"), 40, "");
    next.replace(next.find("::::SOURCE"), 0, "4:FPAR:4:GR0002:TAG0009:9:MODELB:X=1,Y=2;\n");
    const tpfile::File g = Parse(next);
    const std::vector<tpfile::Change> d = tpfile::diff(f, g);
    EXPECT_EQ(Changes(f, g), "block removed 1 SYS001  ->-\nchanged 5 TAG0001 GAIN 1.500000>2.000000\n"
                   "item removed 5 TAG0001 TBL[2] 20>-\nblock added 9 TAG0009  ->-\n");
    EXPECT_EQ(tpfile::changed_values(d, f, g), 1u + 1u + 1u + 2u);
    EXPECT_TRUE(tpfile::diff(f, f).empty());
}

TEST(TpFile, DamagedFilesNameTheLineAndWhatWasExpected) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "tp.txt:1: expected \":::SOURCE\""},
        {":::SOURCE\n", "tp.txt:2: expected the head line"},
        {":::SOURCE\nx:y;\n::::SOURCE\n", "tp.txt:2: expected the head line"},
        {":::SOURCE\n1:t;\n", "tp.txt:3: expected \"::::SOURCE\""},
        {":::SOURCE\n1:t;\n1:FPAR:2:L:T:1:M:A=1;\n::::SOURCE\n", "tp.txt:3: expected \"<seq>:FPAR:<seq>:\""},
        {":::SOURCE\n1:t;\n1:FPAR:1:L:T:1:M:A=1\n::::SOURCE\n", "tp.txt:3: expected a parameter line"},
        {":::SOURCE\n1:t;\n1:FPAR:1:L:T:0:M:A=1;\n::::SOURCE\n", "tp.txt:3: expected a block number"},
        {":::SOURCE\n1:t;\n1:FPAR:1:L:T:1:M:A;\n::::SOURCE\n", "tp.txt:3: expected \"<label>=<value>\""},
        {":::SOURCE\n1:t;\n1:FPAR:1:L:T:2:M:A=1;\n2:FPAR:2:L:T:2:M:A=1;\n::::SOURCE\n", "tp.txt:4: expected block"},
        {":::SOURCE\n1:t;\n::::SOURCE\nmore\n", "tp.txt:4: expected the end of the file"},
        {":::SOURCE\n1:t;\n::::SOURCE", "tp.txt:3: expected a line feed"},
    };
    for (const auto& [text, what] : cases) EXPECT_EQ(ErrorOf([&] { Parse(text); }).substr(0, what.size()), what) << text;
}

// Only a regular file is read, and only up to the limit: a FIFO is refused at once (never
// waited on), a device is never read, a file past the limit is refused before it is read.
TEST_F(History, TpReaderRefusesFifosDevicesFoldersAndHugeFiles) {
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", dir + "/zero");
    std::ofstream(dir + "/huge").close();
    fs::resize_file(dir + "/huge", tpfile::kMaxFileSize + 1);
    const std::pair<const char*, const char*> cases[] = {{"fifo", "not a regular file"}, {"zero", "not a regular file"},
        {"huge", "larger than 256 MiB"}, {"", "a folder, not a file"}, {"missing", "cannot read: No such file"}};
    for (const auto& [name, why] : cases) {
        const std::string path = std::string(name).empty() ? dir : dir + "/" + name;
        const std::string err = ErrorOf([&] { tpfile::read(path); });
        EXPECT_EQ(err.rfind(path + ": " + why, 0), 0u) << err;
    }
    // A file kept open gives its bytes and hash as they were, after its path was replaced; one
    // written over in place meanwhile gives none.
    const std::string tp = dir + "/t.tps";
    std::ofstream(tp) << "old";
    for (const bool inPlace : {false, true}) {
        int fd = -1;
        history::TpFile f = history::read_tp(tp, &fd);
        ASSERT_GE(fd, 0);
        if (inPlace) {
            std::ofstream(tp, std::ios::app) << "+";
        } else {
            std::ofstream(tp + ".new") << "new";
            fs::rename(tp + ".new", tp);
        }
        EXPECT_EQ(history::read_kept_tp(fd, f), !inPlace);
        EXPECT_EQ(std::pair(f.bytes, f.sha256),
                  inPlace ? std::pair(std::string(), std::string()) : std::pair(std::string("old"), history::sha256_hex("old")));
        ::close(fd);
        std::ofstream(tp) << "old";
    }
}


// Eight processes making the database at once, 30 times over, half of them over an empty file:
// every one's save is in it, none failed, no temporary is left. (Made in place, about one round
// in eight lost a save or said "database is locked".)
TEST_F(History, ProcessesMakingTheDatabaseAtOnceLoseNoSave) {
    // What a process that died while making it left is removed; a live one's is kept.
    const pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string stem = dir + "/HISTORY/.tuning.sqlite.", live = stem + std::to_string(getppid()) + ".0.tmp";
    fs::create_directories(dir + "/HISTORY");
    for (const std::string& f : {stem + std::to_string(dead) + ".3.tmp", stem + std::to_string(dead) + ".3.tmp-wal", live})
        std::ofstream(f) << "x";
    history::Database::open(path_, true);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir + "/HISTORY")) left.push_back(e.path().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{live, path_}));
    for (int round = 0; round < 30; ++round) {
        fs::remove_all(dir + "/HISTORY");
        if (round % 2) {   // an empty file there: no history yet, made whole the same way
            fs::create_directories(dir + "/HISTORY");
            std::ofstream{path_};
        }
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        std::vector<pid_t> children;
        for (int k = 0; k < 8; ++k) {
            if (const pid_t c = fork(); c != 0) {
                children.push_back(c);
                continue;
            }
            close(go[1]);
            char x;
            (void)!::read(go[0], &x, 1);   // all start when the parent closes its end
            try {
                history::SaveStart s;
                s.station = "FCS010" + std::to_string(k);
                history::Database::open(path_, true).begin(s);
            } catch (const history::Error& e) {
                std::fprintf(stderr, "%s\n", e.what());
                _exit(1);
            }
            _exit(0);
        }
        close(go[0]);
        close(go[1]);
        int failed = 0;
        for (pid_t c : children) {
            int st = 0;
            waitpid(c, &st, 0);
            failed += !(WIFEXITED(st) && WEXITSTATUS(st) == 0);
        }
        history::Database db = history::Database::open(path_, false);
        int saves = 0;
        for (std::int64_t id = 1; id <= 8; ++id) saves += db.save(id).has_value();
        ASSERT_EQ(std::pair(failed, saves), std::pair(0, 8)) << "round " << round;
        for (const auto& e : fs::directory_iterator(dir + "/HISTORY"))
            EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
    }
}
