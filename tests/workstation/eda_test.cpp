// Engineering data services: project paths (no outside name moves a path out of its folder), the
// reference database, configuration queries, history, backup, the generation lock, instance definitions.
#include <fcntl.h>
#include <sqlite3.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <set>

#include "LibQVEFDAHistDB.h"
#include "eda_fixture.h"
#include "libqveBackupEpa.h"
#include "libqveeda.h"
#include "libqveeda/eda_status.h"
#include "libqveeda/path_keys.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqverxeda.h"
#include "libqverxeda/gen_lock.h"
#include "libqverxgen.h"
#include "libqverxgen/inst_def.h"

using edatest::EdaHome;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
namespace pk = eda::pathkeys;

namespace {

class PathTest : public EdaHome {
protected:
    void SetUp() override {
        EdaHome::SetUp();
        ASSERT_EQ(fp.InitProject("DEMO"), 0u) << eda::last_error();
    }
    CQVEFilePath fp;
};

// No two keys of a root share a pattern (that would make two kinds of file one file); every
// getter's expansion stays inside its root (the library's path getter test); docs/pathkeys.md is
// the table.
TEST_F(PathTest, KeysAreUniqueAndTheDocsAgree) {
    std::set<std::string> seen, patterns;
    for (const pk::KeyDef& d : pk::table()) {
        EXPECT_TRUE(seen.insert(d.key + std::to_string(static_cast<int>(d.kind))).second) << "duplicate " << d.key;
        EXPECT_TRUE(patterns.insert((pk::under_workstation(d.kind) ? "T:" : "P:") + std::string(d.pattern)).second)
            << "two keys share " << d.pattern;
    }
    const std::string docPath = std::string(TUSAVE_SOURCE_DIR) + "/docs/pathkeys.md";
    if (std::getenv("TUSAVE_UPDATE_DOCS")) std::ofstream(docPath) << pk::markdown();
    EXPECT_EQ(WsTemp::read(docPath), pk::markdown()) << "docs/pathkeys.md is out of date: run with TUSAVE_UPDATE_DOCS=1";
}

// Station numbers and the equalization project (the keys a save uses lead to the files of the
// documented layout: every save of the library and e2e suites); then the refusals.
TEST_F(PathTest, StationNumbersEqualizationProjectAndWrongUse) {
    std::string p;
    std::uint8_t no = 0;
    ASSERT_EQ(fp.GetStnNo("FCS0102", no), 0u);
    EXPECT_EQ(no, 12);
    CQVEFilePath eq;  // the equalization project
    ASSERT_EQ(eq.InitEqlzProject("DEMO"), 0u);
    EXPECT_EQ(eq.GetProjectTopDir(), top() + "/EQLZ");
    ASSERT_EQ(eq.GetFCSFilePath("FCS0201", "FCLSF", p), 0u);
    EXPECT_EQ(p, top() + "/EQLZ/FCS0201/DB/stndb.sfdata");
    ASSERT_EQ(eq.GetStnNo("FCS0201", no), 0u);
    EXPECT_EQ(no, 2);
    EXPECT_EQ(eq.GetStnNo("FCS0101", no), eda::kNoStation);  // not in the equalization project
    // Another getter's key, a folder key for a file, a file key for a folder, a name where a
    // fixed file takes none or none where one is required, no station, an unbound service.
    p = "unchanged", no = 0;
    CQVEFilePath unbound;
    using R = std::vector<std::uint32_t>;
    EXPECT_EQ((R{fp.GetFCSFilePath("FCS0101", "NOSUCHKEY", p), fp.GetHISFilePath("FCS0101", "FCLSF", p),
                 fp.GetSystemFilePath("ETC", p), fp.GetSystemFolderPath("SYCFG", p), fp.GetFCSUserInstPath("FCS0101", 1, p),
                 fp.GetPath(nullptr, 0, 0, 0, "FCTPS", nullptr, p), fp.GetPath("FCS0101", -1, 0, 0, "FCANM", nullptr, p),
                 fp.GetFCSFilePath("FCS0101", "x.dat", "FCLSF", p), fp.GetTmplFilePath("DATSTN", nullptr, p),
                 unbound.GetFCSFilePath("FCS0101", "FCLSF", p), unbound.GetStnNo("FCS0101", no)}),
              (R{eda::kUnknownKey, eda::kUnknownKey, eda::kUnknownKey, eda::kUnknownKey, eda::kBadArgument, eda::kBadName,
                 eda::kBadArgument, eda::kBadName, eda::kBadName, eda::kNotBound, eda::kNotBound}));
    EXPECT_EQ(p, "unchanged");
    // A failed bind leaves the object unbound, not bound to the earlier project.
    CQVEFilePath rebound = fp;
    EXPECT_EQ(rebound.GetProjectTopDir(), top());
    EXPECT_NE(rebound.InitProject("NOPROJECT"), 0u);
    EXPECT_NE(eda::last_error().find("NOPROJECT/SYSTEM/sysconfig.json"), std::string::npos) << eda::last_error();
    EXPECT_EQ(rebound.GetProjectTopDir(), "");
    EXPECT_EQ(rebound.GetFCSFilePath("FCS0101", "FCLSF", p), eda::kNotBound);
    EXPECT_TRUE(rebound.InitProject("..") != 0u && rebound.InitProject(nullptr) != 0u);
    // Block files: each drawing, station and project its own folder, asked one after the other.
    CQVEFilePath blocks = fp;
    for (const auto& [eqlz, stn, loc, name, want] :
         {std::tuple(false, "FCS0101", 1, "A", "/FCS0101/FUNCTION_BLOCK/DR0001/A.edf"),
          {false, "FCS0101", 1, "B", "/FCS0101/FUNCTION_BLOCK/DR0001/B.edf"},
          {false, "FCS0101", 12, "B", "/FCS0101/FUNCTION_BLOCK/DR0012/B.edf"},
          {false, "FCS0102", 12, "B", "/FCS0102/FUNCTION_BLOCK/DR0012/B.edf"},
          {true, "FCS0102", 12, "B", "/EQLZ/FCS0102/FUNCTION_BLOCK/DR0012/B.edf"}}) {
        if (eqlz) {
            ASSERT_EQ(blocks.InitEqlzProject("DEMO"), 0u);
        }
        ASSERT_EQ(blocks.GetFCSBlockPath(stn, static_cast<std::uint8_t>(loc), name, p), 0u);
        EXPECT_EQ(p, top() + want);
    }
}

TEST_F(PathTest, TraversalNamesAreRefusedByEveryGetterThatTakesOne) {
    using Call = std::function<std::uint32_t(const char*, std::string&)>;
    std::uint8_t no = 0;
    const std::vector<std::pair<const char*, Call>> calls = {
        {"tmpl name", [&](const char* n, std::string& o) { return fp.GetTmplFilePath("DATSTN", n, o); }},
        {"udf folder", [&](const char* n, std::string& o) { return fp.GetUDFTmplFolderPath("PJTDEFAULT", n, o); }},
        {"udf file name", [&](const char* n, std::string& o) { return fp.GetUDFTmplFilePath("ENGPARTS", n, "F", o); }},
        {"fcs station", [&](const char* n, std::string& o) { return fp.GetFCSFilePath(n, "FCLSF", o); }},
        {"fcs long station", [&](const char* n, std::string& o) { return fp.GetFCSFilePath(n, "a", "FCMTX", o); }},
        {"stn file name", [&](const char* n, std::string& o) { return fp.GetSTNFilePath("FCS0101", "ETC", n, o); }},
        {"path name", [&](const char* n, std::string& o) { return fp.GetPath("FCS0101", 0, 0, 0, "FCTPS", n, o); }},
        {"userinst station", [&](const char* n, std::string& o) { return fp.GetFCSUserInstPath(n, 0, o); }},
        {"block name", [&](const char* n, std::string& o) { return fp.GetFCSBlockPath("FCS0101", 1, n, o); }},
        {"stnno station", [&](const char* n, std::string&) { return fp.GetStnNo(n, no); }},
    };
    for (const auto& [what, call] : calls) {
        std::string good;
        ASSERT_EQ(call("ok", good) == 0u || what == std::string("stnno station"), true) << what;
        for (const char* bad : {"..", "a/b", "", "x\\y", ".", "../FCS0101", "a..b", "/etc", "a\nb", "a\x7f"}) {
            std::string out = "unchanged";
            EXPECT_EQ(call(bad, out), eda::kBadName) << what << " \"" << bad << "\"";
            EXPECT_EQ(out, "unchanged") << what;
        }
    }
}

using RefDbTest = EdaHome;

// Builds a database in schema (the documented one when null) with element rows.
std::string make_db(const std::string& path, const std::vector<std::array<std::string, 5>>& rows,
                    const char* schema = nullptr) {
    std::string sql = schema ? schema
                             : "CREATE TABLE element (name TEXT PRIMARY KEY, kind TEXT NOT NULL, location TEXT "
                               "NOT NULL, file_name TEXT NOT NULL, tag TEXT NOT NULL DEFAULT '');";
    for (const auto& r : rows) sql += "INSERT INTO element VALUES ('" + r[0] + "','" + r[1] + "','" + r[2] + "','" + r[3] + "','" + r[4] + "');";
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    return path;
}

// The listing holds only block elements, sorted by byte order; missing, foreign or old-schema
// files and tables are refused.
TEST_F(RefDbTest, ListingHoldsOnlyBlockElementsInByteOrderAndForeignFilesAreRefused) {
    const std::string db = make_db(home_ + "/reference.sqlite",
                                   {{"%BLa", "%BL", "DR0004", "FILEA", "TAG-A"}, {"%BL0100", "%BL", "DR0002", "FILE100", "TIC100"},
                                    {"%SW0001", "%SW", "DR0001", "SW", "SW1"}, {"%BL\xC3\xA9", "%BL", "DR0009", "FILEE", ""},
                                    {"%BL0010", "%BL", "DR0001", "FILE010", "FIC010"}, {"%BLZ", "%BL", "DR0003", "FILEZ", "Z"},
                                    {"%BLX", "%bl", "DR0003", "LOWER", "kind differs in case"}});
    CQVEEdaRefFCS ref;
    auto list_blocks = [&](QVEElemList& out) {  // as the save lists them: sorted
        _QVEElemTbl sel;
        _QVEElemTblSort sort;
        EXPECT_EQ(ref.ElemTblInit(&sel, 1) | ref.ElemTblSortInit(&sort), 0u);
        sel.strSelect = ref.ElemTblText("%BL");
        sort.nField[5] = 1;
        return ref.ElemTblListAll(&sel, &sort, out);
    };
    auto names = [](const QVEElemList& l) {
        std::vector<std::string> out;
        for (const auto& e : l) out.push_back(l.Text(e.strElemName));
        return out;
    };
    ASSERT_EQ(ref.DbOpen(db.c_str(), 0, 0), 0u) << eda::last_error();
    ASSERT_EQ(ref.ElemTblOpen(0, 0), 0u) << eda::last_error();
    QVEElemList list;
    ASSERT_EQ(list_blocks(list), 0u) << eda::last_error();
    EXPECT_EQ(names(list), (std::vector<std::string>{"%BL0010", "%BL0100", "%BLZ", "%BLa", "%BL\xC3\xA9"}));
    ASSERT_EQ(list.size(), 5u);
    const _QVEElemTbl& e = list[1];
    EXPECT_EQ((std::vector<std::string>{list.Text(e.strLocation), list.Text(e.strFileName), list.Text(e.strSelect),
                                        list.Text(e.str1), list.Text(e.str7)}),
              (std::vector<std::string>{"DR0002", "FILE100", "%BL", "TIC100", ""}));
    using R = std::vector<std::uint32_t>;
    EXPECT_EQ((R{ref.ElemTblClose(), ref.ElemTblClose(), list_blocks(list), ref.DbClose(), ref.DbClose()}),
              (R{0, eda::kNotOpen, eda::kNotOpen, 0, eda::kNotOpen}));

    const std::string missing = home_ + "/none.sqlite";
    EXPECT_EQ(ref.DbOpen(missing.c_str(), 0, 0), eda::kDatabase);
    EXPECT_NE(eda::last_error().find(missing), std::string::npos) << eda::last_error();
    EXPECT_FALSE(std::filesystem::exists(missing));  // read-only: never created
    EXPECT_EQ(ref.DbOpen(nullptr, 0, 0), eda::kBadName);
    write("text.sqlite", std::string(4096, 'x'));
    EXPECT_EQ(ref.DbOpen((home_ + "/text.sqlite").c_str(), 0, 0), eda::kDatabase);
    EXPECT_EQ(ref.ElemTblOpen(0, 0), eda::kNotOpen);
    for (const char* schema : {"CREATE TABLE other (x TEXT);", "CREATE TABLE element (name TEXT, kind TEXT, location TEXT);"}) {
        const std::string foreign = make_db(home_ + "/foreign.sqlite", {}, schema);
        ASSERT_EQ(ref.DbOpen(foreign.c_str(), 0, 0), 0u);
        EXPECT_EQ(ref.DbOpen(foreign.c_str(), 0, 0), eda::kAlreadyOpen);
        EXPECT_EQ(ref.ElemTblOpen(0, 0), eda::kNoTable) << schema;
        EXPECT_NE(eda::last_error().find("foreign.sqlite"), std::string::npos) << eda::last_error();
        EXPECT_EQ(ref.DbClose(), 0u);
    }
}

using SysConfTest = EdaHome;

TEST_F(SysConfTest, StationRecordAreasApcsTestModeAndBusTypes) {
    using R = std::vector<std::uint32_t>;
    CQVERXEdaSysObj sys, eq;
    _OdtStnInf info;
    std::memset(&info, 0xAB, sizeof info);
    EXPECT_EQ(sys.StnConfByName("FCS0102", &info), eda::kNotBound);
    ASSERT_EQ(sys.Init("DEMO"), 0u) << eda::last_error();
    ASSERT_EQ(sys.StnConfByName("FCS0102", &info), 0u);
    EXPECT_STREQ(info.szStnName, "FCS0102");
    std::uint8_t raw[sizeof info];
    std::memcpy(raw, &info, sizeof info);
    EXPECT_EQ(raw[112] | raw[113] << 8, 12);
    EXPECT_EQ(raw[20], 0);  // the record is cleared, not left with old bytes
    ASSERT_EQ(eq.InitEqlz("DEMO"), 0u);
    EXPECT_EQ((R{sys.StnConfByName("FCS9999", &info), sys.StnConfByName("../FCS0102", &info),
                 sys.StnConfByName("FCS0102", nullptr), eq.StnConfByName("FCS0101", &info), eq.StnConfByName("FCS0201", &info)}),
              (R{eda::kNoStation, eda::kBadName, eda::kBadArgument, eda::kNoStation, 0}));
    EXPECT_EQ(info.wStnNo, 2);
    EXPECT_NE(sys.Init("NOPROJECT"), 0u);
    EXPECT_EQ(sys.StnConfByName("FCS0102", &info), eda::kNotBound);  // a failed bind unbinds
    _OdtAreaInf a;
    auto area = [&] { return std::string(a.szAreaName, strnlen(a.szAreaName, 8)); };
    ASSERT_EQ(QVERXEdaFcsAreaConfByNo("DEMO", "FCS0101", 1, &a), 0u);
    EXPECT_EQ(area(), "AREA01");
    ASSERT_EQ(QVERXEdaFcsAreaConfByNo("DEMO", "FCS0101", 2, &a), 0u);
    EXPECT_EQ(std::string(a.szAreaName, 8), "ABCDEFGH");  // full: not terminated
    ASSERT_EQ(QVERXEdaFcsAreaConfByNoEqlz("DEMO", "FCS0201", 1, &a), 0u);
    EXPECT_EQ(area(), "EQAREA");
    EXPECT_EQ((R{QVERXEdaFcsAreaConfByNo("DEMO", "FCS0101", 3, &a), QVERXEdaFcsAreaConfByNo("DEMO", "FCS0102", 1, &a),
                 QVERXEdaFcsAreaConfByNoEqlz("DEMO", "FCS0101", 1, &a)}),
              R(3, QVERX_NO_AREA));
    int v[6] = {-1, -1, -1, -1, -1, -1};
    EXPECT_EQ((R{QVERXEdaIsAPCS("DEMO", "FCS0102", &v[0]), QVERXEdaIsAPCS("DEMO", "FCS0101", &v[1]),
                 QVEEdaCheckQVTestByName("DEMO", "FCS0101", &v[2]), QVEEdaCheckQVTestByName("DEMO", "FCS0102", &v[3]),
                 QVEEdaCheckQVTestVREC(&v[4]), QVERXEdaIsAPCS("DEMO", "NOSTN", &v[5])}),
              (R{0, 0, 0, 0, 0, eda::kNoStation}));
    EXPECT_EQ(std::vector<int>(v, v + 5), (std::vector<int>{1, 0, 1, 0, 1}));
    write("workstation.json", "{}");  // no "vrecTest": off
    EXPECT_TRUE(QVEEdaCheckQVTestVREC(&v[0]) == 0u && v[0] == 0);
    CQVEEdaFcsDatabase db, db2;
    unsigned type = 0, other = 9;
    EXPECT_EQ((R{db.GetIOBusType(1, type, other), db.Open("DEMO", "NOSTN", 1)}), (R{eda::kNotOpen, eda::kNoStation}));
    ASSERT_EQ(db.Open("DEMO", "FCS0101", 1), 0u);
    ASSERT_EQ(db.GetIOBusType(1, type, other), 0u);
    EXPECT_EQ(type, 3u);
    EXPECT_EQ((R{db.GetIOBusType(3, type, other), db.Close(), db.Close()}), (R{eda::kBadArgument, 0, eda::kNotOpen}));
    // No "ioBusTypes": the caller is told so and keeps its defaults.
    type = 42;
    EXPECT_EQ((R{db2.Open("DEMO", "FCS0102", 1), db2.GetIOBusType(1, type, other), type}), (R{0, eda::kNotConfigured, 42}));
    // A malformed configuration: each query fails naming the file and leaves the caller's value.
    const std::string file = top() + "/SYSTEM/sysconfig.json";
    write("projects/DEMO/SYSTEM/sysconfig.json", "{ \"stations\": [ { \"name\": \"FCS0101\", ");
    v[0] = -1;
    EXPECT_EQ(QVERXEdaIsAPCS("DEMO", "FCS0101", &v[0]), eda::kConfig);
    EXPECT_NE(eda::last_error().find(file), std::string::npos) << eda::last_error();
    EXPECT_EQ(v[0], -1);
    EXPECT_EQ(sys.Init("DEMO"), eda::kConfig);
    EXPECT_NE(eda::last_error().find(file), std::string::npos);
    EXPECT_EQ((R{db.Open("DEMO", "FCS0101", 1), QVERXEdaFcsAreaConfByNo("DEMO", "FCS0101", 1, &a)}),
              (R{eda::kConfig, QVERX_NO_AREA}));
}

using BackupTest = EdaHome;

TEST_F(BackupTest, HistoryRegistrationModeCommentAndDatedBackups) {
    ASSERT_EQ(CQVEFDADBAccess::PutFileOnly(1, "DEMO", "FCS0101", 1, {}), 0u) << eda::last_error();
    ASSERT_EQ(CQVEFDADBAccess::PutFileOnly(2, "DEMO", "FCS0102", 0, {"a.edf", "b.txt"}), 0u);
    EXPECT_EQ(CQVEFDADBAccess::PutFileOnly(1, "DEMO", "FCS0101", 1, {"x\ny"}), eda::kBadName);
    EXPECT_EQ(CQVEFDADBAccess::PutFileOnly(1, "DEMO", "a/b", 1, {}), eda::kBadName);
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\tDEMO\t)", log = read("log/histdb.log");
    EXPECT_TRUE(std::regex_match(log, std::regex(stamp + "FCS0101\tkind=1\tflag=1\tfiles=\n" + stamp +
                                                 "FCS0102\tkind=2\tflag=0\tfiles=a\\.edf;b\\.txt\n")))  // one line a success
        << log;
    EXPECT_EQ((std::vector<int>{CQVEFCSAutBackup::IsFCSAutBackupMode("DEMO", "FCS0101", 0),
                                CQVEFCSAutBackup::IsFCSAutBackupMode("DEMO", "FCS0102", 0),
                                CQVEFCSAutBackup::IsFCSAutBackupMode("DEMO", "..", 0)}),
              (std::vector<int>{1, 0, 0}));
    std::tm tm{};
    tm.tm_year = 126, tm.tm_mon = 11, tm.tm_mday = 6, tm.tm_hour = 9, tm.tm_min = 5, tm.tm_sec = 7, tm.tm_isdst = -1;
    const std::time_t start = std::mktime(&tm);
    ASSERT_EQ(CQVEFCSAutBackup::CreateComment("DEMO", "FCS0101", start, 74, 3, "Tuning save\nsecond", "FCS0101"), 0u)
        << eda::last_error();
    EXPECT_EQ(read("backup/DEMO/FCS0101/comments.log"), "2026-12-06 09:05:07\tkind=74\tvalue=3\tTuning save second\n");
    EXPECT_EQ(CQVEFCSAutBackup::CreateComment("DEMO", "../x", start, 74, 3, "t", "x"), eda::kBadName);
    // The backup copies the database file and the TP file into a dated folder.
    const std::string bdir = home_ + "/backup/DEMO/FCS0101";
    auto subdirs = [&] {
        std::vector<std::string> out;
        if (std::filesystem::exists(bdir))
            for (const auto& e : std::filesystem::directory_iterator(bdir))
                if (e.is_directory()) out.push_back(e.path().filename());
        std::sort(out.begin(), out.end());
        return out;
    };
    EXPECT_EQ(CQVEFCSAutBackup::BackupFCS("DEMO", "FCS0101", 1), eda::kNoFile);
    EXPECT_NE(eda::last_error().find("FCS0101/DB/stndb.sfdata"), std::string::npos);
    EXPECT_TRUE(subdirs().empty());
    EXPECT_EQ(CQVEFCSAutBackup::BackupFCS("DEMO", "a/b", 1), eda::kBadName);
    std::string image(4096, '\0');
    image.replace(0, 8, "TUSFDB01");
    write("projects/DEMO/FCS0101/DB/stndb.sfdata", image);
    ASSERT_EQ(CQVEFCSAutBackup::BackupFCS("DEMO", "FCS0101", 1), 0u) << eda::last_error();  // no TP file yet
    write("projects/DEMO/FCS0101/TP/tuning.tps", "TP text\n");
    ASSERT_EQ(CQVEFCSAutBackup::BackupFCS("DEMO", "FCS0101", 1), 0u) << eda::last_error();
    const auto dirs = subdirs();
    ASSERT_EQ(dirs.size(), 2u);  // two backups, even within one second
    EXPECT_TRUE(std::regex_match(dirs[0], std::regex(R"(\d{14})"))) << dirs[0];
    const std::string first = "backup/DEMO/FCS0101/" + dirs[0], second = "backup/DEMO/FCS0101/" + dirs[1];
    EXPECT_EQ((std::vector<std::string>{read(first + "/stndb.sfdata"), read(second + "/stndb.sfdata"),
                                        read(second + "/tuning.tps")}),
              (std::vector<std::string>{image, image, "TP text\n"}));
    EXPECT_FALSE(std::filesystem::exists(home_ + "/" + first + "/tuning.tps"));
    for (const auto& e : std::filesystem::directory_iterator(home_ + "/" + second))
        EXPECT_EQ(e.path().extension(), e.path().filename() == "tuning.tps" ? ".tps" : ".sfdata");  // no temporaries
}
// The generation lock: refused to a second holder in this process and in others (an executed
// program: the CLI suite; a holder killed mid-save: the crash loop), given back by unlock, safe
// against wrong handles, and neither following a link nor emptying its target.
using GenLockTest = EdaHome;

std::uint32_t lock(const char* station, void** h, char* info = nullptr, int size = 0) {
    return QVEEdaGenLockStation("DEMO", station, 1, info, size, h);
}
std::uint32_t unlock(const char* station, void* h) { return QVEEdaGenUnlockStation("DEMO", station, h); }
std::string pid_text(pid_t pid = ::getpid()) { return "pid " + std::to_string(pid); }

TEST_F(GenLockTest, SecondLockInTheSameProcessIsRefusedUntilUnlock) {
    void *h1 = nullptr, *h2 = nullptr, *other = nullptr;
    char info[16];
    ASSERT_EQ(lock("FCS0101", &h1, info, sizeof info), 0u) << eda::last_error();
    ASSERT_NE(h1, nullptr);
    EXPECT_TRUE(std::string(info) == pid_text() && std::filesystem::exists(home_ + "/lock/DEMO/FCS0101.genlock"));
    std::memset(info, 0, sizeof info);
    EXPECT_EQ(lock("FCS0101", &h2, info, sizeof info), eda::kLocked);
    EXPECT_TRUE(h2 == nullptr && std::string(info) == pid_text());  // the holder
    EXPECT_NE(eda::last_error().find("FCS0101.genlock"), std::string::npos);
    ASSERT_EQ(lock("FCS0102", &other), 0u);  // another station is independent
    EXPECT_EQ(unlock("FCS0102", other), 0u);
    // Wrong handles are refused and leave the lock held.
    int notAHandle = 0;
    using R = std::vector<std::uint32_t>;
    EXPECT_EQ((R{unlock("FCS0101", nullptr), unlock("FCS0101", &notAHandle), unlock("FCS0102", h1),
                 QVEEdaGenUnlockStation("OTHER", "FCS0101", h1), lock("FCS0101", &h2)}),
              (R{eda::kBadHandle, eda::kBadHandle, eda::kBadHandle, eda::kBadHandle, eda::kLocked}));
    EXPECT_EQ(unlock("FCS0101", h1), 0u);
    EXPECT_EQ(std::filesystem::file_size(home_ + "/lock/DEMO/FCS0101.genlock"), 0u);  // names no holder now
    EXPECT_EQ(unlock("FCS0101", h1), eda::kBadHandle);  // given back already
    ASSERT_EQ(lock("FCS0101", &h2), 0u);
    EXPECT_EQ(unlock("FCS0101", h2), 0u);
}

// Held by a calling application (a drift check): a save is refused meanwhile, and the lock file
// is given back with the text and the modification time it had.
TEST_F(GenLockTest, HeldByTheCallerLeavesTheFileAsFoundInfoStaysInsideItsBufferNoLinkFollowed) {
    void* h = nullptr;
    ASSERT_EQ(lock("FCS0101", &h), 0u);
    ASSERT_EQ(unlock("FCS0101", h), 0u);
    const std::string path = home_ + "/lock/DEMO/FCS0101.genlock";
    const timespec old[2] = {{1577836800, 0}, {1577836800, 123}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    struct stat before {}, after {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    {
        std::unique_ptr<eda::HeldGenLock> held;
        std::string error;
        ASSERT_EQ(eda::HeldGenLock::take("DEMO", "FCS0101", held, error), 0u) << error;
        char info[16] = {};
        EXPECT_EQ(lock("FCS0101", &h, info, sizeof info), eda::kLocked);
        EXPECT_EQ(std::string(info), pid_text());  // a second holder told so: the drift test of the history suite
    }
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ((std::vector<long>{after.st_size, after.st_mtim.tv_sec, after.st_mtim.tv_nsec}),
              (std::vector<long>{before.st_size, 1577836800, 123}));
    char buf[8];  // given back: the next locker's text is cut to its buffer
    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(lock("FCS0101", &h, buf, 4), 0u);
    EXPECT_TRUE(std::strlen(buf) == 3u && buf[4] == '#');
    EXPECT_EQ(unlock("FCS0101", h), 0u);
    // A name no configuration of the project has: a handle that unlocks, no lock file (the equalization
    // project's FCS0201 gets one).
    for (const char* station : {"FCS0999", "FCS0201"})
        EXPECT_TRUE(lock(station, &h) == 0u &&
                    std::filesystem::exists(home_ + "/lock/DEMO/" + station + ".genlock") == (station[6] == '1') &&
                    unlock(station, h) == 0u) << station;
    // A link in place of the lock file is neither followed nor its target emptied.
    std::filesystem::remove(path);
    write("victim.txt", "precious\n");
    ASSERT_EQ(::symlink((home_ + "/victim.txt").c_str(), path.c_str()), 0);
    void* h2 = nullptr;
    char info[16] = {};
    EXPECT_EQ(lock("FCS0101", &h, info, sizeof info), eda::kIo);
    EXPECT_EQ(read("victim.txt"), "precious\n");
    // A longer text of an earlier holder: the pid replaces it whole, and a refused locker
    // (here the same process, on a description of its own) is told who holds the station.
    std::filesystem::remove(path);
    write("lock/DEMO/FCS0101.genlock", "4000000000\nand more\n");
    ASSERT_EQ(lock("FCS0101", &h, info, sizeof info), 0u);
    const std::string pid = std::to_string(::getpid());
    EXPECT_EQ(read("lock/DEMO/FCS0101.genlock"), pid + "\n");
    EXPECT_EQ(lock("FCS0101", &h2, info, sizeof info), eda::kLocked);
    EXPECT_EQ(eda::gen_lock_holder("DEMO", "FCS0101"), pid);
    EXPECT_EQ(unlock("FCS0101", h), 0u);
}

// The instance definition service over hand-written definitions files: the refusals of the
// reader, the open/close life cycle, the bounds of what the calls write, the failpoints.

const char* kDefs = R"({ "format": "tusave-instdef", "version": 1, "models": [
  { "blockCode": 6226, "name": "PIDLOOP", "savedRecords": [2, 3, 4],
    "items": [ { "name": "UAID", "recNo": 3, "offset": 8, "dataType": 16, "elemSize": 2 },
               { "name": "PARAM", "recNo": 4, "offset": 520, "dataType": 28, "elemSize": 4, "dim1": 4, "dim2": 2 },
               { "name": "ALRM", "recNo": 5, "offset": 20, "dataType": 20, "elemSize": 4, "dim1": 5, "dim2": 0 } ] },
  { "blockCode": 5122, "name": "CALCBLK", "savedRecords": [2] },
  { "blockCode": 769, "name": "MULTIREC", "savedRecords": [9, 8, 7, 6, 5, 4, 3, 2], "items": [] }
] })";

std::string models(const std::string& m) { return R"({"format":"tusave-instdef","version":1,"models":[)" + m + "]}"; }

class InstDef : public edatest::EdaHome {
protected:
    void SetUp() override {
        EdaHome::SetUp();
        defs(kDefs);
        // What the service has to say goes to the note sink: here on stderr, as tusave does.
        ws::set_note_sink([](const char* text) { std::fprintf(stderr, "%s\n", text); });
    }
    void TearDown() override {
        CaptureStderr();
        IEdalInstClose();
        GetCapturedStderr();
        ws::set_note_sink(nullptr);
        EdaHome::TearDown();
    }
    void defs(const std::string& text) { write("projects/DEMO/FCS0101/DB/instdef.json", text); }
    // The open's result and the text of its failure (a file that cannot be read is also said
    // on stderr, and only that).
    std::pair<int, std::string> open(const char* station = "FCS0101", unsigned kind = 2) {
        CaptureStderr();
        int rc = IEdalInstOpenForTP("DEMO", station, kind);
        const std::string err = GetCapturedStderr(), text = rc ? instdef::last_error() + "\n" : "";
        EXPECT_TRUE(err.empty() || err == text) << err;
        return {rc, text};
    }
    // Ends a stderr capture (nothing is said there) and gives the text of the last failure.
    static std::string said() {
        EXPECT_EQ("", GetCapturedStderr());
        return instdef::last_error() + "\n";
    }
    std::string path(const char* station = "FCS0101") const { return top() + "/" + station + "/DB/instdef.json"; }
};

TEST_F(InstDef, MalformedFilesAreRefusedNamingFileAndPlace) {
    const std::string m0 = "models[0] (block code 0x0007, \"A\")";
    const std::pair<std::string, std::string> cases[] = {
        {"{\"format\":", "not valid JSON"},
        {R"({"format":"tusave-userinst","version":1,"models":[]})", "format: expected \"tusave-instdef\""},
        {R"({"format":"tusave-instdef","version":2,"models":[]})", "version: expected an integer from 1 to 1"},
        {R"({"format":"tusave-instdef","version":1,"models":{}})", "models: expected an array"},
        {models(R"({"blockCode":0,"name":"A"})"), "models[0].blockCode: expected an integer from 1 to 65535"},
        {models(R"({"blockCode":7,"name":"TOOLONGNM"})"),
         "models[0].name: \"TOOLONGNM\" is not a name of 1 to 8 printable characters without :,;=\\"},
        {models(R"({"blockCode":7,"name":"A","savedRecords":[1]})"),
         m0 + ".savedRecords[0]: expected a record number from 2 to 255 (record 1 is always fetched)"},
        {models(R"({"blockCode":7,"name":"A","savedRecords":[3,3]})"), m0 + ".savedRecords[1]: record 3 appears twice"},
        {models(R"({"blockCode":7,"name":"A"},{"blockCode":7,"name":"B"})"),
         "models[1].blockCode: block code 0x0007 appears twice"},
        {models(R"({"blockCode":7,"name":"A"},{"blockCode":8,"name":"A"})"), "models[1].name: model \"A\" appears twice"},
        {models(R"({"blockCode":7,"name":"A","items":[{"name":"X","recNo":2,"offset":0,"dataType":16}]})"),
         m0 + ".items[0]: missing \"elemSize\""},
        {models(R"({"blockCode":7,"name":"A","items":[{"name":"X","recNo":2,"offset":0,"dataType":16,"elemSize":2,"dim2":3}]})"),
         m0 + ".items[0].dim2: a second dimension needs a first one"},
        {models(R"({"blockCode":7,"name":"A","items":[{"name":"X","recNo":2.5,"offset":0,"dataType":16,"elemSize":2}]})"),
         m0 + ".items[0].recNo: expected an integer from 0 to 255"},
        {models(R"({"blockCode":7,"name":"A","saved":[2]})"), "models[0]: unknown key \"saved\""},
        {models(R"({"blockCode":769,"name":"MULTIREC","savedRecords":[2,3,4,5,6,7,8,9,10]})"),
         "models[0] (block code 0x0301, \"MULTIREC\"): 9 saved records, at most 8"},
    };
    for (const auto& [text, tail] : cases) {
        defs(text);
        EXPECT_EQ(open(), std::pair(instdef::kMalformed, "IEdalInstOpenForTP: " + path() + ": " + tail + "\n"));
    }
    // A file cut at any length is refused, never half read (nothing is open after a refusal:
    // the next open would say "already open").
    for (std::size_t n = 0; n < std::strlen(kDefs); n += 7) {
        defs(std::string(kDefs, n));
        auto [rc, err] = open();
        ASSERT_EQ(instdef::kMalformed, rc) << n;
        EXPECT_EQ(0u, err.find("IEdalInstOpenForTP: " + path() + ": ")) << err;
    }
}

// Missing project, station or file and a bad kind fail the open; every call before the open,
// after the close or a second open fails; kind 3 reads the equalization project's file; an
// open after a close reads the file afresh.
TEST_F(InstDef, OpenFailuresCallsOutsideAnOpenAndTheEqualizationProject) {
    auto [rc, err] = open("FCS0109");
    EXPECT_EQ(instdef::kNoFile, rc);
    EXPECT_EQ(0u, err.find("IEdalInstOpenForTP: " + path("FCS0109") + ": cannot open the instance definitions: ")) << err;
    EXPECT_EQ((std::pair{open("FCS0101", 1).first, open("../FCS0101").first}), std::pair(instdef::kBadArgument, instdef::kBadArgument));
    // The services never write on stderr themselves: their words reach the note sink only.
    std::vector<std::string> notes;
    ws::set_note_sink([&](const char* text) { notes.emplace_back(text); });
    CaptureStderr();
    EXPECT_EQ(instdef::kNoFile, IEdalInstOpenForTP("NOPROJ", "FCS0101", 2));
    EXPECT_EQ("", GetCapturedStderr());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(0u, notes[0].find("IEdalInstOpenForTP: project NOPROJ not found: "));
    ws::set_note_sink([](const char* text) { std::fprintf(stderr, "%s\n", text); });

    ASSERT_EQ(0, open().first);
    EXPECT_EQ(open(), std::pair(instdef::kAlreadyOpen, "IEdalInstOpenForTP: already open for " + path() + "\n"));
    ASSERT_EQ(0, IEdalInstClose());
    // After the close every call is refused and writes nothing (as before the first open).
    char name[IEDAL_INSTNAME_SIZE] = "unchanged";
    int n = -1, d1 = -1, d2 = -1, recs[IEDAL_MAX_SAVE_REC] = {};
    char* list = reinterpret_cast<char*>(&n);
    IEdalItemCnctS c{};
    CaptureStderr();
    EXPECT_EQ((std::vector<int>{IEdalInstGetInstName(6226, name), IEdalInstGetDItemList2("PIDLOOP", &n, &list),
                                IEdalInstGetDItemCnctInf("PIDLOOP", "UAID", &c), IEdalInstGetDItemArrayInf("PIDLOOP", "PARAM", &d1, &d2),
                                IEdalInstGetSaveRecNo(6226, &n, recs), IEdalInstClose()}),
              std::vector<int>(6, instdef::kNotOpen));
    EXPECT_EQ("IEdalInstClose: the instance definitions are not open\n", said());
    EXPECT_TRUE(list == nullptr && std::string(name) == "unchanged" && n == -1);
    write("projects/DEMO/EQLZ/FCS0201/DB/instdef.json", models(R"({"blockCode":6226,"name":"EQPID","savedRecords":[5]})"));
    EXPECT_EQ(instdef::kNoFile, open("FCS0101", 3).first);
    for (const auto& [station, kind, want] : {std::tuple("FCS0201", 3u, "EQPID"), {"FCS0101", 2u, "NEWNAME"}}) {
        ASSERT_EQ(0, open(station, kind).first);
        EXPECT_TRUE(IEdalInstGetInstName(6226, name) == 0 && std::string(name) == want);
        ASSERT_EQ(0, IEdalInstClose());
        defs(models(R"({"blockCode":6226,"name":"NEWNAME"})"));   // read afresh at the next open
    }
}

TEST_F(InstDef, NameItemListConnectionShapeAndSavedRecordsStayInsideTheCallersRoom) {
    ASSERT_EQ(0, open().first);
    char buf[IEDAL_INSTNAME_SIZE + 8];
    std::memset(buf, 'x', sizeof buf);
    ASSERT_EQ(0, IEdalInstGetInstName(769, buf));
    EXPECT_STREQ("MULTIREC", buf);  // eight characters, the most a name has
    for (std::size_t i = 9; i < sizeof buf; ++i) ASSERT_EQ('x', buf[i]) << i;
    CaptureStderr();
    EXPECT_EQ(instdef::kUnknown, IEdalInstGetInstName(0x1853, buf));
    EXPECT_EQ("IEdalInstGetInstName: no model for block code 0x1853\n", said());

    // The item list of a model: the labels of every e2e save's TP file; here its refusal.
    int n = 0, d1 = -1, d2 = -1;
    char* list = reinterpret_cast<char*>(&n);
    CaptureStderr();
    EXPECT_EQ(instdef::kUnknown, IEdalInstGetDItemList2("PIDLOOPX", &n, &list));
    EXPECT_EQ("IEdalInstGetDItemList2: no instance \"PIDLOOPX\"\n", said());
    EXPECT_EQ(nullptr, list);  // nothing for the caller to free

    IEdalItemCnctS c;
    std::memset(&c, 0xEE, sizeof c);
    ASSERT_EQ(0, IEdalInstGetDItemCnctInf("PIDLOOP", "PARAM", &c));
    const std::uint8_t want[8] = {4, 0, 0x08, 0x02, 28, 4, 0, 0};  // offset 520 little-endian, reserved 0
    EXPECT_EQ(0, std::memcmp(want, &c, sizeof want));
    std::vector<int> got = {IEdalInstGetDItemArrayInf("PIDLOOP", "PARAM", &d1, &d2), d1, d2};
    got.insert(got.end(), {IEdalInstGetDItemArrayInf("PIDLOOP", "ALRM", &d1, &d2), d1, d2});
    EXPECT_EQ(got, (std::vector<int>{0, 4, 2, 0, 5, 0}));
    // The edit file update asks for "UAID" of every model and relies on a non-zero answer for a
    // model without one.
    CaptureStderr();
    EXPECT_EQ(instdef::kUnknown, IEdalInstGetDItemCnctInf("CALCBLK", "UAID", &c));
    EXPECT_EQ("IEdalInstGetDItemCnctInf: instance \"CALCBLK\" has no item \"UAID\"\n", said());
    CaptureStderr();
    EXPECT_EQ((std::vector<int>{IEdalInstGetDItemCnctInf("PIDLOOP", "uaid", &c),
                                IEdalInstGetDItemArrayInf("CALCBLK", "UAID", &d1, &d2),
                                IEdalInstGetDItemCnctInf("PIDLOOP", "UAID", nullptr)}),
              (std::vector<int>{instdef::kUnknown, instdef::kUnknown, instdef::kBadArgument}));
    GetCapturedStderr();
    // Saved records: at most eight entries, in file order.
    int recs[IEDAL_MAX_SAVE_REC + 1];
    for (int& r : recs) r = -7;
    ASSERT_EQ(0, IEdalInstGetSaveRecNo(769, &n, recs));
    EXPECT_EQ((std::vector<int>{8, 9, 8, 7, 6, 5, 4, 3, 2, -7}), (std::vector<int>{n, recs[0], recs[1], recs[2], recs[3],
                                                                                 recs[4], recs[5], recs[6], recs[7], recs[8]}));
    ASSERT_EQ(0, IEdalInstGetSaveRecNo(5122, &n, recs));
    EXPECT_EQ((std::vector<int>{1, 2, 8}), (std::vector<int>{n, recs[0], recs[1]}));  // untouched beyond the count
    CaptureStderr();
    EXPECT_EQ(instdef::kUnknown, IEdalInstGetSaveRecNo(1, &n, recs));
    EXPECT_EQ("IEdalInstGetSaveRecNo: no model for block code 0x0001\n", said());
}

}  // namespace
