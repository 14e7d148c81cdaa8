// The exported path getters, checked against their base calls made directly, and the exported
// members of the engineering data classes. The getter table is services/QVEFilePathGetters.def;
// docs/pathgetters.md is made from it here (TUSAVE_UPDATE_DOCS=1 rewrites it).
#include <sqlite3.h>

#include <cstdlib>

#include "../workstation/eda_fixture.h"
#include "LibQVEFDAHistDB.h"
#include "libqveBackupEpa.h"
#include "libqveeda.h"
#include "libqveeda/eda_status.h"
#include "libqverxeda.h"

namespace {

struct In {
    const char* station;
    const char* folder;
    const char* name;
    int number;
};
using Call = std::uint32_t (*)(CQVEFilePath&, const In&, std::string&);

struct Getter {
    int group;
    const char* name;
    const char* args;  // parameter list
    std::string base;  // the base call, keys filled in
    Call call;         // the exported getter
    Call direct;       // its base call made directly
    bool takes(const char* what) const { return std::string(args).find(what) != std::string::npos; }
};

// The base call's description with K and K2 replaced by the keys.
std::string with_keys(const std::string& doc, const char* k, const char* k2) {
    std::string out;
    for (std::size_t i = 0; i < doc.size(); ++i) {
        const bool two = doc.compare(i, 2, "K2") == 0;
        out += doc[i] != 'K' ? std::string(1, doc[i]) : std::string("\"") + (two ? k2 : k) + "\"";
        i += two;
    }
    return out;
}

// The station number the station-message getters pass: 0 when the service gives none.
int stn_no(CQVEFilePath& fp, const char* station) {
    std::uint8_t n = 0;
    return fp.GetStnNo(station, n) == 0 ? n : 0;
}

#define L(expr) [](CQVEFilePath& fp, [[maybe_unused]] const In& in, std::string& o) -> std::uint32_t { return expr; }
#define ROW(k, k2, args, doc, call, direct) Getter{g, fnName, args, with_keys(doc, k, k2), L(call), L(direct)}

// clang-format off
#define PG_T0(fn, k, k2)  ROW(k, k2, "(out)", "GetTmplFilePath(K, null, out)", fp.fn(&o), fp.GetTmplFilePath(k, nullptr, o))
#define PG_T0R(fn, k, k2) ROW(k, k2, "(string& out)", "GetTmplFilePath(K, null, out)", fp.fn(o), fp.GetTmplFilePath(k, nullptr, o))
#define PG_T1(fn, k, k2)  ROW(k, k2, "(name, out)", "GetTmplFilePath(K, name, out)", fp.fn(in.name, &o), fp.GetTmplFilePath(k, in.name, o))
#define PG_HATCH(fn, k, k2) ROW(k, k2, "(name, out)", "name ? GetTmplFilePath(K, name, out) : GetUDFTmplFolderPath(K2, \"QVSystem\", out)", \
    fp.fn(in.name, &o), in.name ? fp.GetTmplFilePath(k, in.name, o) : fp.GetUDFTmplFolderPath(k2, "QVSystem", o))
#define PG_UD(fn, k, k2)  ROW(k, k2, "(folder, out)", "GetUDFTmplFolderPath(K, folder, out)", fp.fn(in.folder, &o), fp.GetUDFTmplFolderPath(k, in.folder, o))
#define PG_UF(fn, k, k2)  ROW(k, k2, "(folder, out)", "GetUDFTmplFilePath(K, null, folder, out)", fp.fn(in.folder, &o), fp.GetUDFTmplFilePath(k, nullptr, in.folder, o))
#define PG_UFN(fn, k, k2) ROW(k, k2, "(folder, name, out)", "GetUDFTmplFilePath(K, name, folder, out)", fp.fn(in.folder, in.name, &o), \
    fp.GetUDFTmplFilePath(k, in.name, in.folder, o))
#define PG_UF1(fn, k, k2) ROW(k, k2, "(folder, number, out)", "GetUDFTmplFilePath1(number, K, null, folder, out)", fp.fn(in.folder, in.number, &o), \
    fp.GetUDFTmplFilePath1(in.number, k, nullptr, in.folder, o))
#define PG_UOPT(fn, k, k2) ROW(k, k2, "(folder, name, out)", "name ? GetUDFTmplFilePath(K, name, folder, out) : GetUDFTmplFolderPath(K2, folder, out)", \
    fp.fn(in.folder, in.name, &o), in.name ? fp.GetUDFTmplFilePath(k, in.name, in.folder, o) : fp.GetUDFTmplFolderPath(k2, in.folder, o))
#define PG_UNK(fn, k, k2) ROW(k, k2, "(folder, name, out)", "name ? GetUDFTmplFilePath(name, null, folder, out) : GetUDFTmplFolderPath(K, folder, out)", \
    fp.fn(in.folder, in.name, &o), in.name ? fp.GetUDFTmplFilePath(in.name, nullptr, in.folder, o) : fp.GetUDFTmplFolderPath(k, in.folder, o))
#define PG_S(fn, k, k2)   ROW(k, k2, "(out)", "GetSystemFilePath(K, out)", fp.fn(&o), fp.GetSystemFilePath(k, o))
#define PG_SR(fn, k, k2)  ROW(k, k2, "(string& out)", "GetSystemFilePath(K, out)", fp.fn(o), fp.GetSystemFilePath(k, o))
#define PG_SNK(fn, k, k2) ROW(k, k2, "(name, out)", "name ? GetSystemFilePath(name, out) : GetSystemFolderPath(K, out)", fp.fn(in.name, &o), \
    in.name ? fp.GetSystemFilePath(in.name, o) : fp.GetSystemFolderPath(k, o))
#define PG_PN(fn, k, k2)  ROW(k, k2, "(number, out)", "GetPath(null, number, 0, 0, K, null, out)", fp.fn(in.number, &o), \
    fp.GetPath(nullptr, in.number, 0, 0, k, nullptr, o))
#define PG_PNOPT(fn, k, k2) ROW(k, k2, "(number, name, out)", "name ? GetPath(null, number, 0, 0, K, name, out) : GetPath(null, number, 0, 0, K2, null, out)", \
    fp.fn(in.number, in.name, &o), in.name ? fp.GetPath(nullptr, in.number, 0, 0, k, in.name, o) : fp.GetPath(nullptr, in.number, 0, 0, k2, nullptr, o))
#define PG_PNZ(fn, k, k2) ROW(k, k2, "(number, out)", "number ? GetPath(null, number, 0, 0, K, null, out) : GetPath(null, 0, 0, 0, K2, null, out)", \
    fp.fn(in.number, &o), in.number ? fp.GetPath(nullptr, in.number, 0, 0, k, nullptr, o) : fp.GetPath(nullptr, 0, 0, 0, k2, nullptr, o))
#define PG_PNAME(fn, k, k2) ROW(k, k2, "(name, out)", "name ? GetPath(null, 0, 0, 0, K, name, out) : GetPath(null, 0, 0, 0, K2, null, out)", \
    fp.fn(in.name, &o), in.name ? fp.GetPath(nullptr, 0, 0, 0, k, in.name, o) : fp.GetPath(nullptr, 0, 0, 0, k2, nullptr, o))
#define PG_F(fn, k, k2)   ROW(k, k2, "(station, out)", "GetFCSFilePath(station, K, out)", fp.fn(in.station, &o), fp.GetFCSFilePath(in.station, k, o))
#define PG_FN(fn, k, k2)  ROW(k, k2, "(station, name, out)", "GetFCSFilePath(station, name, K, out)", fp.fn(in.station, in.name, &o), \
    fp.GetFCSFilePath(in.station, in.name, k, o))
#define PG_FMTX(fn, k, k2) ROW(k, k2, "(station, number, out)", "GetFCSFilePath(station, \"Matrix%d\" of number, K, out)", fp.fn(in.station, in.number, &o), \
    fp.GetFCSFilePath(in.station, ("Matrix" + std::to_string(in.number)).c_str(), k, o))
#define PG_FOPT(fn, k, k2) ROW(k, k2, "(station, name, out)", "name ? GetFCSFilePath(station, name, K, out) : GetFCSFilePath(station, K2, out)", \
    fp.fn(in.station, in.name, &o), in.name ? fp.GetFCSFilePath(in.station, in.name, k, o) : fp.GetFCSFilePath(in.station, k2, o))
#define PG_QN(fn, k, k2)  ROW(k, k2, "(station, name, out)", "GetPath(station, 0, 0, 0, K, name, out)", fp.fn(in.station, in.name, &o), \
    fp.GetPath(in.station, 0, 0, 0, k, in.name, o))
#define PG_Q(fn, k, k2)   ROW(k, k2, "(station, out)", "GetPath(station, 0, 0, 0, K, null, out)", fp.fn(in.station, &o), \
    fp.GetPath(in.station, 0, 0, 0, k, nullptr, o))
#define PG_QNUM(fn, k, k2) ROW(k, k2, "(station, number, out)", "GetPath(station, number, 0, 0, K, null, out)", fp.fn(in.station, in.number, &o), \
    fp.GetPath(in.station, in.number, 0, 0, k, nullptr, o))
#define PG_QSTN(fn, k, k2) ROW(k, k2, "(station, out)", "GetPath(station, GetStnNo(station) or 0, 0, 0, K, null, out)", fp.fn(in.station, &o), \
    fp.GetPath(in.station, stn_no(fp, in.station), 0, 0, k, nullptr, o))
#define PG_H(fn, k, k2)   ROW(k, k2, "(station, out)", "GetHISFilePath(station, K, out)", fp.fn(in.station, &o), fp.GetHISFilePath(in.station, k, o))
#define PG_STND(fn, k, k2) ROW(k, k2, "(station, out)", "GetSTNFolderPath(station, K, out)", fp.fn(in.station, &o), fp.GetSTNFolderPath(in.station, k, o))
#define PG_STNOPT(fn, k, k2) ROW(k, k2, "(station, name, out)", "name ? GetSTNFilePath(station, K, name, out) : GetSTNFolderPath(station, K, out)", \
    fp.fn(in.station, in.name, &o), in.name ? fp.GetSTNFilePath(in.station, k, in.name, o) : fp.GetSTNFolderPath(in.station, k, o))
// clang-format on

std::vector<Getter> getters() {
    std::vector<Getter> v;
    int g = 0;
    const char* fnName = nullptr;
#define QVE_PATH_GETTER(group, shape, fn, key, key2) \
    g = group;                                       \
    fnName = #fn;                                    \
    v.push_back(PG_##shape(fn, key, key2));
#include "QVEFilePathGetters.def"
    return v;
}

std::string listing() {
    std::string s =
        "# Path getters\n\n"
        "The exported path getters of `CQVEFilePath` (`LdLoad/libqveldtusave/services/QVEFilePathGetters.def`),\n"
        "grouped by the base getter they call. Each returns the base getter's result unchanged; out is\n"
        "the caller's string (a null out is refused). \"name ?\" tests for a null pointer only. The keys\n"
        "resolve as listed in `docs/pathkeys.md`.\n\n"
        "| group | getter | arguments | base call |\n|---|---|---|---|\n";
    for (const Getter& x : getters())
        s += "| " + std::to_string(x.group) + " | " + x.name + " | " + x.args + " | " + x.base + " |\n";
    return s;
}

class PathGetters : public edatest::EdaHome {
protected:
    void SetUp() override {
        EdaHome::SetUp();
        ASSERT_EQ(fp.InitProject("DEMO"), 0u) << eda::last_error();
    }
    CQVEFilePath fp;
};

TEST_F(PathGetters, DocsAreTheListing) {
    const std::string doc = std::string(TUSAVE_SOURCE_DIR) + "/docs/pathgetters.md";
    if (std::getenv("TUSAVE_UPDATE_DOCS")) std::ofstream(doc) << listing();
    std::stringstream ss;
    ss << std::ifstream(doc).rdbuf();
    EXPECT_EQ(ss.str(), listing()) << "docs/pathgetters.md is out of date: run with TUSAVE_UPDATE_DOCS=1";
}

// Every getter gives what its base call gives, for good, missing, empty and hostile arguments,
// bound or not; with good arguments every key resolves inside the project or template folder.
TEST_F(PathGetters, EveryGetterEqualsItsBaseCall) {
    CQVEFilePath unbound;
    const std::string project = top() + "/", tmpl = home_ + "/template/";
    const In good{"FCS0102", "QVSystem", "f.dat", 3}, noName{"FCS0101", "QVSystem", nullptr, 0};
    std::vector<std::pair<In, const char*>> hostile;  // the argument the hostile text is in
    for (const char* bad : {"", "..", "a/b", "x\\y", "../FCS0101"}) {
        hostile.push_back({{bad, "QVSystem", "f.dat", 3}, "station"});
        hostile.push_back({{"FCS0101", bad, "f.dat", 3}, "folder"});
        hostile.push_back({{"FCS0101", "QVSystem", bad, 3}, "name"});
    }
    for (const Getter& x : getters()) {
        auto same = [&](CQVEFilePath& p, const In& in, const char* what) {
            std::string got = "unchanged", direct = "unchanged";
            const std::uint32_t r = x.call(p, in, got);
            EXPECT_EQ(r, x.direct(p, in, direct)) << x.name << x.args << " " << what;
            EXPECT_EQ(got, direct) << x.name << x.args << " " << what;
            return std::pair{r, got};
        };
        const bool nameIsKey = x.base.find("Path(name") != std::string::npos;
        for (const In& in : {good, noName}) {
            const auto [r, path] = same(fp, in, "bound");
            if (in.name && nameIsKey) continue;  // "f.dat" is no key
            // A file the getter names only with the caller's name: the base refuses a null one.
            if (!in.name && x.takes("name") && !x.base.starts_with("name ?") && x.base.find("GetPath") == std::string::npos)
                continue;
            EXPECT_EQ(r, 0u) << x.name << x.args << ": " << eda::last_error();
            const bool inside = path.starts_with(project) || path.starts_with(tmpl);
            EXPECT_TRUE(inside && path.find("..") == std::string::npos) << x.name << " -> " << path;
        }
        EXPECT_EQ(same(unbound, good, "unbound").first, eda::kNotBound) << x.name;
        for (const auto& [in, where] : hostile) {
            if (!x.takes(where)) continue;
            const auto [r, path] = same(fp, in, where);
            EXPECT_NE(r, 0u) << x.name << x.args << " took " << where << " \"" << (in.name ? in.name : "") << "\"";
            EXPECT_EQ(path, "unchanged") << x.name;
        }
    }
    // Any code of a base getter comes back unchanged.
    for (const char* base : {"GetTmplFilePath", "GetUDFTmplFolderPath", "GetUDFTmplFilePath", "GetUDFTmplFilePath1",
                             "GetSystemFilePath", "GetSystemFolderPath", "GetFCSFilePath", "GetHISFilePath",
                             "GetSTNFolderPath", "GetSTNFilePath", "GetPath"})
        failpoint::arm(base, 0x5A5A0001, 1, true);
    for (const Getter& x : getters()) {
        std::string o;
        EXPECT_EQ(x.call(fp, good, o), 0x5A5A0001u) << x.name << x.args;
    }
    failpoint::reset();
    // A null out is refused; a station without a number gets the message files of number 0.
    EXPECT_EQ(fp.GetFCSTPPath("FCS0101", nullptr, nullptr), QVEEDA_E_ARGUMENT);
    EXPECT_EQ(fp.GetSystemALockPath(nullptr), QVEEDA_E_ARGUMENT);
    std::string a;
    failpoint::arm("GetStnNo", 0x2E000006);
    EXPECT_EQ(fp.GetFCSANMsgPath("FCS0102", &a), 0u);
    EXPECT_EQ(a, top() + "/FCS0102/MESSAGE/anmsg00.edf");
}

using EdaMembers = edatest::EdaHome;

// Copies share the open database: the copy outlives the original, nothing closes twice
// (the sanitizer build would see a second close of the freed handle).
TEST_F(EdaMembers, CopiesShareTheOpenDatabase) {
    const std::string path = home_ + "/ref.sqlite";   // an element table and a switch-label table
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE element (name TEXT, kind TEXT, location TEXT, file_name TEXT, tag TEXT);"
                               "INSERT INTO element VALUES ('%BL0001', '%BL', 'DR0001', 'F1', 'TIC1');"
                               "CREATE TABLE swlabel (number INTEGER, label TEXT);"
                               "INSERT INTO swlabel VALUES (1, 'ON'), (2, 'say \"hi\", then');", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    auto original = std::make_unique<CQVEEdaRefFCS>();
    ASSERT_EQ(original->DbOpen(path.c_str(), 0, 0), 0u) << eda::last_error();
    ASSERT_EQ(original->ElemTblOpen(0, 0), 0u);
    CQVEEdaRefFCS copy(*original);
    CQVEEdaRefFCS assigned;
    assigned = *original;
    EXPECT_EQ(original->DbClose(), 0u);
    original.reset();
    _QVEElemTbl sel;
    QVEElemList list;
    ASSERT_EQ(copy.ElemTblListAll(&sel, nullptr, list), 0u) << eda::last_error();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list.Text(list[0].strElemName), "%BL0001");
    EXPECT_EQ((std::pair{copy.DbClose(), copy.DbClose()}), std::pair(0u, eda::kNotOpen));
    // The switch-label CSV file from the database the assigned copy shares; a failed write keeps the old file.
    CQVEEdaSWLabelCSVFile csv;
    const std::string out = home_ + "/SwitchLabel.csv";
    write("SwitchLabel.csv", "old\n");
    ASSERT_EQ(csv.Open(out.c_str()), 0u);
    ASSERT_EQ(csv.Write(&assigned), 0u) << eda::last_error();
    ASSERT_EQ(csv.Close(), 0u) << eda::last_error();
    EXPECT_EQ(read("SwitchLabel.csv"), "#SWLABEL,number,label\n1,ON\n2,\"say \"\"hi\"\", then\"\n");
    CQVEEdaEngUnitCSVFile units;  // no engunit table
    ASSERT_EQ(units.Open(out.c_str()), 0u);
    EXPECT_EQ((std::pair{units.Write(&assigned), units.Close()}), std::pair(eda::kNoTable, eda::kNoTable));
    EXPECT_EQ(read("SwitchLabel.csv").substr(0, 8), "#SWLABEL");
}

}  // namespace
