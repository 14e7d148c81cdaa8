// The edit file update step inside whole saves of the sample station: which files hold what
// after a good save, after a failure at one entry and with damaged files.
#include <sqlite3.h>

#include "ctrl_fixture.h"
#include "libqverxgen.h"
#include "tusave_bytes.h"

namespace ctrl_test {
namespace {

using Files = std::map<std::string, std::vector<std::uint8_t>>;

std::vector<std::uint8_t> bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class EditStep : public CtrlSave {
protected:
    void SetUp() override {
        CtrlSave::SetUp();
        auto t = test_strings();
        for (unsigned id : {5277u, 5759u, 6919u, 7132u, 7188u, 7189u, 7190u, 7191u, 7192u, 7193u, 7194u, 7195u,
                            7196u, 7203u, 7211u, 7212u, 7213u, 7214u, 7215u, 7248u, 7613u, 7643u})
            t[id] = "T" + std::to_string(id);
        port::set_string_table(t);
    }
    // Builds the sample; keeps every edit file as built and as a good save leaves it.
    void build_files() {
        build();
        const auto& s = st("FCS0101");
        for (auto& [path, b] : sample::expected_edit_files(desc_, s)) {
            before_[path] = bytes_of(path);
            after_[path] = std::move(b);
        }
    }
    const sample::EditFileInfo& file_of(int block) const {
        for (const auto& f : st("FCS0101").editFiles)
            if (std::find(f.blocks.begin(), f.blocks.end(), block) != f.blocks.end()) return f;
        throw std::runtime_error("no edit file");
    }
    // The listed blocks in save order.
    std::vector<int> entries() const {
        std::vector<int> v;
        for (const auto& b : st("FCS0101").blocks)
            if (b.listed) v.push_back(b.number);
        return v;
    }
    void expect_files(const std::string& path, const Files& want) const {
        if (path.empty()) return;
        EXPECT_TRUE(bytes_of(path) == want.at(path)) << path;
    }
    Files before_, after_;
};

TEST_F(EditStep, FailureAtOneEntryLeavesEveryBlockFileAsItWas) {
    build_files();
    const std::vector<int> list = entries();
    // The first entry from the fifth on that heads its file; the instance name of its HTLT
    // update is refused. Each file update asks twice (BL, HTLT), a working copy twice more.
    std::size_t k = 4;
    while (file_of(list[k]).blocks.front() != list[k]) ++k;
    unsigned nth = 2;
    for (std::size_t j = 0; j < k; ++j) nth += file_of(list[j]).workCopy.empty() ? 2 : 4;
    failpoint::arm("IEdalInstGetInstName", 1, nth);
    ASSERT_EQ(save("FCS0101"), 0x2023410au);
    EXPECT_TRUE(has_line("ERR:T7248"));
    // Earlier entries are not written either: a file of several blocks would be half new.
    for (const auto& f : st("FCS0101").editFiles)
        for (const std::string& p : {f.path, f.workCopy}) expect_files(p, before_);
    expect_files(st("FCS0101").anMsgPath, after_);
    expect_files(st("FCS0101").stationEditPath, before_);
    failpoint::reset();
    ASSERT_EQ(IEdalInstOpenForTP("DEMO", "FCS0101", 2), 0);
    IEdalInstClose();
}

TEST_F(EditStep, MissingFileWarnsWithItsBareNameAndItsWorkingCopyIsStillUpdated) {
    build_files();
    const sample::EditFileInfo* f = nullptr;
    for (const auto& e : st("FCS0101").editFiles)
        if (!f && !e.workCopy.empty() && st("FCS0101").blocks[static_cast<std::size_t>(e.blocks[0] - 1)].listed) f = &e;
    ASSERT_NE(f, nullptr);
    fs::remove(f->path);
    ASSERT_EQ(save("FCS0101"), 0u);
    EXPECT_TRUE(has_line("WRN:T7190 " + fs::path(f->path).stem().string()));
    expect_files(f->workCopy, after_);
    expect_files(st("FCS0101").stationEditPath, after_);
}

TEST_F(EditStep, MissingElementOrRecordSizeOfAnotherSizeFailTheStep) {
    build_files();
    const auto& s = st("FCS0101");
    // A block that is the only one of its file and is listed.
    int block = 0;
    for (const auto& f : s.editFiles)
        if (!block && f.blocks.size() == 1 && s.blocks[static_cast<std::size_t>(f.blocks[0] - 1)].listed)
            block = f.blocks[0];
    ASSERT_NE(block, 0);
    char name[16];
    std::snprintf(name, sizeof name, "%%BL%04d", block);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(s.referencePath.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, (std::string("DELETE FROM element WHERE name = '") + name + "'").c_str(), nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    ASSERT_EQ(save("FCS0101"), 0x2023410au);
    EXPECT_TRUE(has_line(std::string("ERR:T7188") + name));
    expect_files(s.stationEditPath, before_);

    // The descriptor of a saved record says 8 bytes less than the image holds: the record
    // written whole would run into the next one.
    build_files();
    const sample::EditFileInfo& f = file_of(block);
    const auto& blk = st("FCS0101").blocks[static_cast<std::size_t>(block - 1)];
    int rec = 0;
    for (const auto& r : blk.records)
        if (r.saved && !rec) rec = r.recNo;
    auto bytes = bytes_of(f.path);
    const std::size_t area = tb::load_u32(bytes.data() + 0x40 + 16 * 6 + 4);
    const std::size_t desc = area + 0x40 + 8 * static_cast<std::size_t>(rec - 1) + 4;
    tb::store_u32(bytes.data() + desc, tb::load_u32(bytes.data() + desc) - 8);
    std::ofstream(f.path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
    ASSERT_EQ(save("FCS0101"), 0x2023410au);
    EXPECT_TRUE(bytes_of(f.path) == bytes);
    bool line = false;
    for (const auto& l : lines) line = line || l.rfind("ERR:LdTuSavesWriteRecord:RecSize differs. BlockNum=" +
                                                           std::to_string(block) + ", RecNum=" + std::to_string(rec),
                                                       0) == 0;
    EXPECT_TRUE(line);
}

// The AN message file and the station's edit file cut at the lengths where their parts end:
// a line and 0x2023410a, the station's edit file and every block file as they were.
TEST_F(EditStep, CutAnFileOrStationEditFileFailsBeforeAnyBlockFile) {
    build_files();
    const auto& s = st("FCS0101");
    const auto an = before_.at(s.anMsgPath), stn = before_.at(s.stationEditPath);
    struct Cut {
        std::string path;
        std::size_t len;
        const char* line;
    };
    const std::string readLine = "ERR:T7194" + s.anMsgPath;
    const std::vector<Cut> cuts = {
        {s.anMsgPath, 0, readLine.c_str()},           {s.anMsgPath, 511, readLine.c_str()},
        {s.anMsgPath, 512, "ERR:T7213"},              {s.anMsgPath, s.anHtlt + 66, "ERR:T7213"},
        {s.anMsgPath, an.size() - 1, "ERR:T7213"},    {s.stationEditPath, 0, "ERR:T7214"},
        {s.stationEditPath, 511, "ERR:T7214"},        {s.stationEditPath, s.blSection + 10, "ERR:T7214"},
        {s.stationEditPath, stn.size() - 1, "ERR:T7214"},
    };
    for (const Cut& c : cuts) {
        const auto& whole = c.path == s.anMsgPath ? an : stn;
        std::ofstream(c.path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(whole.data()), static_cast<std::streamsize>(c.len));
        EXPECT_EQ(save("FCS0101"), 0x2023410au) << c.path << " " << c.len;
        EXPECT_TRUE(has_line(c.line)) << c.path << " " << c.len << " " << ::testing::PrintToString(lines);
        EXPECT_EQ(bytes_of(s.stationEditPath).size(), c.path == s.stationEditPath ? c.len : stn.size());
        for (const auto& f : s.editFiles) expect_files(f.path, before_);
        std::ofstream(c.path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(whole.data()), static_cast<std::streamsize>(whole.size()));
    }
}

TEST_F(EditStep, EmptySaveListStillRefreshesTheAnFileAndTheStationEditFile) {
    desc_.stations[0].blocks = 0;
    build_files();
    ASSERT_EQ(save("FCS0101"), 0u) << ::testing::PrintToString(lines);
    expect_files(st("FCS0101").anMsgPath, after_);
    expect_files(st("FCS0101").stationEditPath, after_);
    EXPECT_FALSE(after_.at(st("FCS0101").anMsgPath) == before_.at(st("FCS0101").anMsgPath));
}


TEST_F(EditStep, HtltOfThreeRecordsTakesTheFirstThreeUaids) {
    build_files();
    const auto& s = st("FCS0101");
    auto an = before_.at(s.anMsgPath);
    // The HTLT entry is the second of the directory; its count becomes 3.
    ASSERT_EQ(tb::load_u32(an.data() + 0x40 + 16 + 4), s.anHtlt);
    tb::store_u32(an.data() + 0x40 + 16 + 8, 3);
    std::ofstream(s.anMsgPath, std::ios::binary).write(reinterpret_cast<const char*>(an.data()),
                                                      static_cast<std::streamsize>(an.size()));
    ASSERT_EQ(save("FCS0101"), 0u);
    const auto got = bytes_of(s.anMsgPath);
    ASSERT_GT(s.stationUaids.size(), 3u);
    for (std::size_t k = 0; k < s.stationUaids.size(); ++k) {
        const std::size_t at = s.anHtlt + 128 * k + 66;
        EXPECT_EQ(tb::load_u16(got.data() + at), k < 3 ? s.stationUaids[k] : tb::load_u16(an.data() + at)) << k;
        EXPECT_EQ(tb::load_u16(got.data() + s.anUsap + 2 * k), s.stationUaids[k]) << k;
    }
}

TEST_F(EditStep, UaidItemOfFourBytesFailsTheBlock) {
    for (auto& m : desc_.stations[0].models)
        for (auto& it : m.items)
            if (it.name == "UAID") it.elemSize = 4;
    build_files();
    EXPECT_EQ(save("FCS0101"), 0x2023410au);
    EXPECT_TRUE(has_line("ERR:T7211"));
    expect_files(st("FCS0101").stationEditPath, before_);
}

}  // namespace
}  // namespace ctrl_test
