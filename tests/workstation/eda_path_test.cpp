// Project path service: the keys the save uses give the documented paths, every key of the
// exported getters resolves, and no name from outside can move a path out of its folder.
#include <cstdlib>
#include <functional>
#include <set>

#include "eda_fixture.h"
#include "libqveeda.h"
#include "libqveeda/eda_status.h"
#include "libqveeda/path_keys.h"

using edatest::EdaHome;

namespace {

class PathTest : public EdaHome {
protected:
    void SetUp() override {
        EdaHome::SetUp();
        ASSERT_EQ(fp.InitProject("DEMO"), 0u) << eda::last_error();
    }
    CQVEFilePath fp;
};

TEST_F(PathTest, KeysOfTheSaveGiveTheDocumentedLayout) {
    const std::string t = top();
    std::string p;
    EXPECT_EQ(fp.GetProjectTopDir(), t);
    const std::pair<std::function<std::uint32_t()>, std::string> keys[] = {
        {[&] { return fp.GetFCSFilePath("FCS0101", "FCLSF", p); }, "/FCS0101/DB/stndb.sfdata"},
        {[&] { return fp.GetFCSFilePath("FCS0101", "FCREFRDB", p); }, "/FCS0101/DB/reference.sqlite"},
        {[&] { return fp.GetFCSFilePath("FCS0101", "FCLT0", p); }, "/FCS0101/DB/tfdata0.edf"},
        {[&] { return fp.GetFCSFilePath("FCS0101", "FCLT1", p); }, "/FCS0101/DB/tfdata1.edf"},
        {[&] { return fp.GetPath("FCS0101", 1, 0, 0, "FCANM", nullptr, p); }, "/FCS0101/MESSAGE/anmsg01.edf"},
        {[&] { return fp.GetPath("FCS0102", 12, 0, 0, "FCANM", nullptr, p); }, "/FCS0102/MESSAGE/anmsg12.edf"},
        {[&] { return fp.GetPath("FCS0101", 0, 0, 0, "FCTPS", nullptr, p); }, "/FCS0101/TP/tuning.tps"},
        {[&] { return fp.GetSystemFilePath("SYCFG", p); }, "/SYSTEM/sysconfig.json"},
        {[&] { return fp.GetFCSUserInstPath("FCS0101", 0, p); }, "/FCS0101/DB/userinst.json"},
        {[&] { return fp.GetFCSBlockPath("FCS0101", 3, "PIC001", p); }, "/FCS0101/FUNCTION_BLOCK/DR0003/PIC001.edf"},
        {[&] { return fp.GetFCSBlockPath("FCS0101", 255, "X", p); }, "/FCS0101/FUNCTION_BLOCK/DR0255/X.edf"},
    };
    for (const auto& [get, want] : keys) {
        EXPECT_EQ(get(), 0u) << want;
        EXPECT_EQ(p, t + want);
    }

    std::uint8_t no = 0;
    ASSERT_EQ(fp.GetStnNo("FCS0102", no), 0u);
    EXPECT_EQ(no, 12);

    CQVEFilePath eq;
    ASSERT_EQ(eq.InitEqlzProject("DEMO"), 0u);
    EXPECT_EQ(eq.GetProjectTopDir(), t + "/EQLZ");
    ASSERT_EQ(eq.GetFCSFilePath("FCS0201", "FCLSF", p), 0u);
    EXPECT_EQ(p, t + "/EQLZ/FCS0201/DB/stndb.sfdata");
    ASSERT_EQ(eq.GetStnNo("FCS0201", no), 0u);
    EXPECT_EQ(no, 2);
    EXPECT_EQ(eq.GetStnNo("FCS0101", no), eda::kNoStation);  // not in the equalization project
}

TEST_F(PathTest, InternalPathsOfTheSampleMatchTheLayout) {
    namespace pk = eda::pathkeys;
    std::string p;
    pk::Args a;
    a.station = "FCS0101";
    a.folder = "UNIT1";
    ASSERT_EQ(pk::expand(*pk::find("FCSCUSTOM", pk::Kind::Internal), a, top(), p), 0u);
    EXPECT_EQ(p, top() + "/FCS0101/Custom");
    ASSERT_EQ(pk::expand(*pk::find("INSTDEF", pk::Kind::Internal), a, top(), p), 0u);
    EXPECT_EQ(p, top() + "/FCS0101/DB/instdef.json");
}

// Every key of the table, with every argument given, stays inside its root (the exported getters
// are checked against their base calls in the library's path getter test).
TEST_F(PathTest, EveryKeyExpandsInsideItsRoot) {
    namespace pk = eda::pathkeys;
    for (const pk::KeyDef& d : pk::table()) {
        const std::string root = pk::under_workstation(d.kind) ? home_ + "/template" : top();
        int resolved = 0;
        for (const char* name : {"f.dat", static_cast<const char*>(nullptr)})
            for (const char* folder : {"QVSystem", static_cast<const char*>(nullptr)}) {
                pk::Args a;
                a.station = "FCS0101";
                a.name = name;
                a.folder = folder;
                a.n1 = a.n2 = a.n3 = 1;
                std::string p;
                if (pk::expand(d, a, root, p) != 0u) continue;
                ++resolved;
                EXPECT_EQ(p.rfind(root + "/", 0), 0u) << d.key << " -> " << p;
                EXPECT_EQ(p.find(".."), std::string::npos) << d.key;
            }
        EXPECT_GT(resolved, 0) << d.key;
    }
}

TEST_F(PathTest, TableHasNoDuplicateAndDocsAgree) {
    std::set<std::pair<std::string, int>> seen;
    std::set<std::string> paths;
    for (const auto& d : eda::pathkeys::table()) {
        EXPECT_TRUE(seen.insert({d.key, static_cast<int>(d.kind)}).second) << "duplicate key " << d.key;
        // Two keys of one root giving the same pattern would make two kinds of file one file.
        EXPECT_TRUE(paths.insert(std::string(eda::pathkeys::under_workstation(d.kind) ? "T:" : "P:") + d.pattern).second)
            << "two keys share " << d.pattern;
    }
    const std::string docPath = std::string(TUSAVE_SOURCE_DIR) + "/docs/pathkeys.md";
    if (std::getenv("TUSAVE_UPDATE_DOCS")) std::ofstream(docPath) << eda::pathkeys::markdown();
    std::ifstream in(docPath);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), eda::pathkeys::markdown()) << "docs/pathkeys.md is out of date: run with TUSAVE_UPDATE_DOCS=1";
}

TEST_F(PathTest, ResultsForUnknownKeysUnboundServiceAndWrongUse) {
    std::string p = "unchanged";
    EXPECT_EQ(fp.GetFCSFilePath("FCS0101", "NOSUCHKEY", p), eda::kUnknownKey);
    EXPECT_EQ(fp.GetHISFilePath("FCS0101", "FCLSF", p), eda::kUnknownKey);   // another getter's key
    EXPECT_EQ(fp.GetSystemFilePath("ETC", p), eda::kUnknownKey);             // a folder key
    EXPECT_EQ(fp.GetSystemFolderPath("SYCFG", p), eda::kUnknownKey);         // a file key
    EXPECT_EQ(fp.GetFCSUserInstPath("FCS0101", 1, p), eda::kBadArgument);
    EXPECT_EQ(fp.GetPath(nullptr, 0, 0, 0, "FCTPS", nullptr, p), eda::kBadName);  // needs a station
    EXPECT_EQ(fp.GetPath("FCS0101", -1, 0, 0, "FCANM", nullptr, p), eda::kBadArgument);
    EXPECT_EQ(fp.GetFCSFilePath("FCS0101", "x.dat", "FCLSF", p), eda::kBadName);  // one fixed file, no name
    EXPECT_EQ(fp.GetTmplFilePath("DATSTN", nullptr, p), eda::kBadName);          // name required
    EXPECT_EQ(p, "unchanged");

    CQVEFilePath unbound;
    EXPECT_EQ(unbound.GetFCSFilePath("FCS0101", "FCLSF", p), eda::kNotBound);
    std::uint8_t no = 0;
    EXPECT_EQ(unbound.GetStnNo("FCS0101", no), eda::kNotBound);

    // A failed bind leaves the object unbound, not bound to the earlier project.
    CQVEFilePath rebound = fp;
    EXPECT_EQ(rebound.GetProjectTopDir(), top());
    EXPECT_NE(rebound.InitProject("NOPROJECT"), 0u);
    EXPECT_NE(eda::last_error().find("NOPROJECT/SYSTEM/sysconfig.json"), std::string::npos) << eda::last_error();
    EXPECT_EQ(rebound.GetProjectTopDir(), "");
    EXPECT_EQ(rebound.GetFCSFilePath("FCS0101", "FCLSF", p), eda::kNotBound);
    EXPECT_NE(rebound.InitProject(".."), 0u);
    EXPECT_NE(rebound.InitProject(nullptr), 0u);

    failpoint::arm("GetFCSFilePath", 77);
    EXPECT_EQ(fp.GetFCSFilePath("FCS0101", "FCLSF", p), 77u);
    EXPECT_EQ(fp.GetFCSFilePath("FCS0101", "FCLSF", p), 0u);
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

TEST_F(PathTest, MalformedSysconfigIsReportedWithTheFileName) {
    std::uint8_t no = 0;
    write("projects/DEMO/SYSTEM/sysconfig.json", R"({ "stations": [ { "name": "FCS0101" } ] })");
    EXPECT_EQ(fp.GetStnNo("FCS0101", no), eda::kConfig);
    EXPECT_NE(eda::last_error().find(top() + "/SYSTEM/sysconfig.json"), std::string::npos) << eda::last_error();
    write("projects/DEMO/SYSTEM/sysconfig.json", "{ \"stations\": [");
    EXPECT_EQ(fp.GetStnNo("FCS0101", no), eda::kConfig);
    EXPECT_NE(eda::last_error().find("sysconfig.json"), std::string::npos);
    EXPECT_EQ(no, 0);
}

}  // namespace
