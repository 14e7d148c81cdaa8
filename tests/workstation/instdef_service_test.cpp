// The instance definition service over hand-written definitions files: the refusals of the
// reader, the open/close life cycle, the bounds of what the calls write, the failpoints.
#include <cstring>

#include "eda_fixture.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqverxgen.h"
#include "libqverxgen/inst_def.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

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

TEST_F(InstDef, MissingProjectStationOrFileAndBadKindFailTheOpen) {
    auto [rc, err] = open("FCS0109");
    EXPECT_EQ(instdef::kNoFile, rc);
    EXPECT_EQ(0u, err.find("IEdalInstOpenForTP: " + path("FCS0109") + ": cannot open the instance definitions: "))
        << err;
    EXPECT_EQ(instdef::kBadArgument, open("FCS0101", 1).first);
    EXPECT_EQ(instdef::kBadArgument, open("../FCS0101").first);
    // The services never write on stderr themselves: their words reach the note sink only.
    std::vector<std::string> notes;
    ws::set_note_sink([&](const char* text) { notes.emplace_back(text); });
    CaptureStderr();
    EXPECT_EQ(instdef::kNoFile, IEdalInstOpenForTP("NOPROJ", "FCS0101", 2));
    EXPECT_EQ("", GetCapturedStderr());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(0u, notes[0].find("IEdalInstOpenForTP: project NOPROJ not found: "));
    // Kind 3 reads the equalization project's file, not the project's.
    write("projects/DEMO/EQLZ/FCS0201/DB/instdef.json", models(R"({"blockCode":6226,"name":"EQPID","savedRecords":[5]})"));
    EXPECT_EQ(instdef::kNoFile, open("FCS0101", 3).first);
    ASSERT_EQ(0, open("FCS0201", 3).first);
    char name[IEDAL_INSTNAME_SIZE];
    ASSERT_EQ(0, IEdalInstGetInstName(6226, name));
    EXPECT_STREQ("EQPID", name);
}

TEST_F(InstDef, CallsBeforeOpenAfterCloseAndASecondOpenFail) {
    char name[IEDAL_INSTNAME_SIZE] = "unchanged";
    int n = -1, d1 = -1, d2 = -1, recs[IEDAL_MAX_SAVE_REC] = {};
    char* list = reinterpret_cast<char*>(&n);
    IEdalItemCnctS c{};
    auto all_refused = [&] {
        std::strcpy(name, "unchanged");
        n = -1;
        CaptureStderr();
        EXPECT_EQ((std::vector<int>{IEdalInstGetInstName(6226, name), IEdalInstGetDItemList2("PIDLOOP", &n, &list),
                                    IEdalInstGetDItemCnctInf("PIDLOOP", "UAID", &c),
                                    IEdalInstGetDItemArrayInf("PIDLOOP", "PARAM", &d1, &d2),
                                    IEdalInstGetSaveRecNo(6226, &n, recs), IEdalInstClose()}),
                  std::vector<int>(6, instdef::kNotOpen));
        EXPECT_EQ("IEdalInstClose: the instance definitions are not open\n", said());
        EXPECT_EQ(nullptr, list);
        EXPECT_STREQ("unchanged", name);
        EXPECT_EQ(-1, n);
    };
    all_refused();
    ASSERT_EQ(0, open().first);
    EXPECT_EQ(open(), std::pair(instdef::kAlreadyOpen, "IEdalInstOpenForTP: already open for " + path() + "\n"));
    ASSERT_EQ(0, IEdalInstGetInstName(6226, name));
    ASSERT_EQ(0, IEdalInstClose());
    all_refused();
    // Open again after the close: the definitions are read afresh.
    defs(models(R"({"blockCode":6226,"name":"NEWNAME"})"));
    ASSERT_EQ(0, open().first);
    ASSERT_EQ(0, IEdalInstGetInstName(6226, name));
    EXPECT_STREQ("NEWNAME", name);
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

    int n = 0, d1 = -1, d2 = -1;
    char* list = nullptr;
    ASSERT_EQ(0, IEdalInstGetDItemList2("PIDLOOP", &n, &list));
    EXPECT_EQ(3, n);
    ASSERT_NE(nullptr, list);
    EXPECT_STREQ("UAID:PARAM:ALRM", list);  // one text in file order
    std::free(list);  // the caller's free; the sanitizer run proves it is malloc'ed and not leaked
    list = reinterpret_cast<char*>(&n);
    CaptureStderr();
    EXPECT_EQ(instdef::kUnknown, IEdalInstGetDItemList2("PIDLOOPX", &n, &list));
    EXPECT_EQ("IEdalInstGetDItemList2: no instance \"PIDLOOPX\"\n", said());
    EXPECT_EQ(nullptr, list);  // nothing for the caller to free

    IEdalItemCnctS c;
    std::memset(&c, 0xEE, sizeof c);
    ASSERT_EQ(0, IEdalInstGetDItemCnctInf("PIDLOOP", "PARAM", &c));
    const std::uint8_t want[8] = {4, 0, 0x08, 0x02, 28, 4, 0, 0};  // offset 520 little-endian, reserved 0
    EXPECT_EQ(0, std::memcmp(want, &c, sizeof want));
    ASSERT_EQ(0, IEdalInstGetDItemArrayInf("PIDLOOP", "PARAM", &d1, &d2));
    EXPECT_EQ(std::pair(4, 2), std::pair(d1, d2));
    ASSERT_EQ(0, IEdalInstGetDItemArrayInf("PIDLOOP", "ALRM", &d1, &d2));
    EXPECT_EQ(std::pair(5, 0), std::pair(d1, d2));
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
    EXPECT_EQ(8, n);
    EXPECT_EQ((std::vector<int>{9, 8, 7, 6, 5, 4, 3, 2, -7}), std::vector<int>(recs, recs + 9));
    ASSERT_EQ(0, IEdalInstGetSaveRecNo(5122, &n, recs));
    EXPECT_EQ((std::vector<int>{1, 2, 8}), (std::vector<int>{n, recs[0], recs[1]}));  // untouched beyond the count
    CaptureStderr();
    EXPECT_EQ(instdef::kUnknown, IEdalInstGetSaveRecNo(1, &n, recs));
    GetCapturedStderr();
    // The fault matrix fails the saved-record query of one block code.
    failpoint::arm("IEdalInstGetSaveRecNo:5122", 5);
    CaptureStderr();
    EXPECT_EQ(0, IEdalInstGetSaveRecNo(6226, &n, recs));
    EXPECT_EQ(5, IEdalInstGetSaveRecNo(5122, &n, recs));
    EXPECT_EQ("IEdalInstGetSaveRecNo:5122: failpoint\n", said());
}

}  // namespace
