// The edit file update step, by its operations and in whole saves: which files hold what after a good
// save, a failure at one entry and damaged files; the sectioned file format; the element search.
#include <unistd.h>

#include "LdTuSaveEdit.h"
#include "LdTuSaveEditFmt.h"
#include "ctrl_fixture.h"
#include "image_fixture.h"
#include "libqverxgen.h"
#include "port/port_host.h"
#include "project_files.h"
#include "tusave_bytes.h"

namespace ctrl_test {
namespace {

using Files = std::map<std::string, std::vector<std::uint8_t>>;

using project_files::read_file;
using imgtest::write_bytes;

struct Sec {
    const char* tag;
    std::uint32_t count, unit;
};
// A sectioned file: the 512-byte header, then the sections filled with 0xEE; *at: their offsets.
std::vector<std::uint8_t> sectioned(const std::vector<Sec>& secs, std::uint32_t inUse, std::vector<std::size_t>* at) {
    std::vector<std::uint8_t> f(0x200, 0);
    tb::store_u32(f.data() + 0x2C, inUse);
    for (std::size_t i = 0; i < secs.size(); ++i) {
        std::uint8_t* e = f.data() + 0x40 + 16 * i;
        std::memcpy(e, secs[i].tag, std::strlen(secs[i].tag));
        tb::store_u32(e + 4, static_cast<std::uint32_t>(f.size()));
        tb::store_u32(e + 8, secs[i].count);
        tb::store_u32(e + 12, secs[i].unit);
        at->push_back(f.size());
        f.resize(f.size() + std::size_t{secs[i].count} * secs[i].unit, 0xEE);
    }
    return f;
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
            before_[path] = read_file(path);
            after_[path] = std::move(b);
        }
    }
    const sample::EditFileInfo& file_of(int block) const {
        for (const auto& f : st("FCS0101").editFiles)
            if (std::find(f.blocks.begin(), f.blocks.end(), block) != f.blocks.end()) return f;
        throw std::runtime_error("no edit file");
    }
    void expect_files(const std::string& path, const Files& want) const {
        if (path.empty()) return;
        EXPECT_TRUE(read_file(path) == want.at(path)) << path;
    }
    Files before_, after_;
};

// The step's operations on the sample station's image, definitions and save list (uploaded).
class EditOps : public EditStep {
protected:
    void SetUp() override {
        EditStep::SetUp();
        desc_.stations[0].blocks = blocks_;
        build_files();
        g_testMode = 0;   // the sample station answers in its own byte order
        ASSERT_EQ(LdTuSaveCtrlInit("P1", "P2", "DEMO", "FCS0101", 2, 0, 7, &inf_), 0u);
        ASSERT_EQ(LdTuSaveCtrlDBRead(&inf_), 0u);
        ASSERT_EQ(LdTuSaveCtrlGetFcs(&inf_, &tbl_), 0u);
        ASSERT_EQ(IEdalInstOpenForTP("DEMO", "FCS0101", 2), 0);
        instOpen_ = true;
        ASSERT_TRUE(LdTuSavesGetStnRootTblAdrs(inf_.pDbImage.View(), &root_));
        root_.pAnUaid = reinterpret_cast<std::uint8_t*>(uaids_);
        root_.nAnMsgCnt = 5;
    }
    void TearDown() override {
        if (instOpen_) IEdalInstClose();
        LdTuSaveCtrlEnd(&inf_, 0);
        EditStep::TearDown();
    }
    // For the tests of whole steps, which open the instance definitions themselves.
    void close_definitions() {
        IEdalInstClose();
        instOpen_ = false;
    }
    // The edit file of the entry's block.
    std::string path_of(const LdTuSaveRecord& e) {
        std::string p;
        EXPECT_EQ(LdTuSavesGetBlockFilePath(&inf_, &e, p), 0u);
        return p;
    }
    // The first entry whose block has a UAID item.
    const LdTuSaveRecord& uaid_entry() const {
        const auto& s = st("FCS0101");
        for (const LdTuSaveRecord& e : tbl_) {
            const auto& b = s.blocks[static_cast<std::size_t>(e.blockNo - 1)];
            if (b.model == "PIDLOOP" || b.model == "INDICATOR") return e;
        }
        throw std::runtime_error("no entry with a UAID");
    }
    // The AN message file updated, the station's edit file (editBuf) with it, as the step would
    // write it back.
    std::uint32_t update_an(std::vector<std::uint8_t>& editBuf) {
        EXPECT_TRUE(inf_.stnEdit.Load(editBuf));
        LdTuSaveEditFiles files;
        const std::uint32_t rc = LdTuSavesUpdateAnMsgFile(&inf_, &root_, &files);
        inf_.stnEdit.Apply(editBuf, 0);
        return rc;
    }
    int blocks_ = 24;
    LdTuSaveCtrlInf inf_;
    LdTuSaveRecordTbl tbl_;
    LdTuSavesRootTbl root_;
    bool instOpen_ = false;
    std::uint16_t uaids_[5] = {0x1111, 0x2222, 0x3333, 0x4444, 0x5555};
};

// The AN message file cut at every length: only the whole file is written (HTLT of 3 records takes
// the first 3 UAIDs, USAP the 5 there are); every cut one gives its line and code and stays.
TEST_F(EditOps, AnFileCutAtEveryLength) {
    std::vector<std::size_t> at;
    const auto an = sectioned({{"MSGS", 1, 64}, {"HTLT", 3, 128}, {"USAP", 10, 2}}, 1, &at);
    const std::string path = st("FCS0101").anMsgPath;
    std::vector<std::uint8_t> stn = before_.at(st("FCS0101").stationEditPath);
    auto want = an;
    for (std::size_t k = 0; k < 3; ++k) tb::store_u16(want.data() + at[1] + 128 * k + 66, uaids_[k]);
    for (std::size_t k = 0; k < 5; ++k) tb::store_u16(want.data() + at[2] + 2 * k, uaids_[k]);
    write_bytes(path, an);
    ASSERT_EQ(update_an(stn), 0u);
    ASSERT_TRUE(read_file(path) == want);
    // Cut from the end on: a failing update leaves the file as it was, so each cut is the last one shortened.
    for (std::size_t len = an.size(); len-- > 0;) {
        ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(len)), 0);
        lines.clear();
        EXPECT_EQ(update_an(stn), len < 0x200 ? 0x20000108u : 0x2023410au) << len;
        EXPECT_EQ(lines, std::vector<std::string>{len < 0x200 ? "ERR:T7194" + path : "ERR:T7213"}) << len;
        EXPECT_TRUE(read_file(path) == std::vector<std::uint8_t>(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(len)))
            << len;
    }
}

// The station's edit file cut at every length: BL and AN updated while whole inside, else 7214.
TEST_F(EditOps, StationEditFileCutAtEveryLength) {
    std::vector<std::size_t> at;
    // An AN message file with nothing to write, so that it is not replaced on every pass.
    write_bytes(st("FCS0101").anMsgPath, sectioned({{"HTLT", 0, 128}, {"USAP", 0, 2}, {"MSGS", 1, 128}}, 0, &at), 0x280);
    at.clear();
    auto stn = sectioned({{"INFO", 2, 16}, {"BL", 2, 128}, {"AN", 4, 128}}, 3, &at);
    const LdTuSaveRecord& entry = uaid_entry();
    tb::store_u16(stn.data() + at[1] + 128 + 60, entry.blockNo);
    for (std::size_t len = 0; len <= stn.size(); ++len) {
        std::vector<std::uint8_t> buf(stn.begin(), stn.begin() + static_cast<std::ptrdiff_t>(len));
        lines.clear();
        const bool anInside = len == stn.size(), blInside = len >= at[2];
        EXPECT_EQ(update_an(buf), anInside ? 0u : 0x2023410au) << len;
        EXPECT_EQ(LdTuSavesSetUaidInBL(&inf_, &root_, &entry), blInside ? 0u : 0x2023410au) << len;
        inf_.stnEdit.Apply(buf, 0);
        EXPECT_EQ(lines.size(), (anInside ? 0u : 1u) + (blInside ? 0u : 1u)) << len;
        for (const auto& l : lines) EXPECT_EQ(l, "ERR:T7214") << len;
        EXPECT_TRUE(!blInside || tb::load_u16(buf.data() + at[1] + 128 + 66) != 0xEEEE) << len;
        for (std::size_t k = 0; anInside && k < 4; ++k) EXPECT_EQ(tb::load_u16(buf.data() + at[2] + 128 * k + 66), uaids_[k]);
    }
}

// Damaged directory entries of the three kinds of file: a line and a code, the file as it was.
TEST_F(EditOps, DamagedDirectoryEntriesGiveALineAndLeaveTheFile) {
    enum Kind { kAn, kStn, kBlock };
    struct Case {
        Kind kind;
        int entry;            // directory entry; -1: the count of entries in use
        int field;            // 4 offset, 8 count, 12 unit, 0 the tag
        std::uint32_t value;
        std::uint32_t rc;
        std::vector<std::string> lines;
    };
    const LdTuSaveRecord& entry = uaid_entry();
    const std::string blockPath = file_of(entry.blockNo).path;
    const std::string anPath = st("FCS0101").anMsgPath;
    const std::vector<Case> cases = {
        // AN message file: MSGS, HTLT, USAP.
        {kAn, 1, 4, 0xFFFFFFF0u, 0x2023410a, {"ERR:T7213"}},
        {kAn, 1, 8, 0x02000000u, 0x2023410a, {"ERR:T7213"}},   // 128 times the count wraps to 0 in 32 bits
        {kAn, 2, 8, 0x80000000u, 0x2023410a, {"ERR:T7213"}},
        {kAn, 2, 0, 0, 0x2023410a, {"ERR:T7213"}},
        // Station's edit file: INFO, BL, AN (the AN message file whole).
        {kStn, 2, 4, 0xFFFFFFFFu, 0x2023410a, {"ERR:T7214"}},
        {kStn, 2, 8, 0x02000000u, 0x2023410a, {"ERR:T7214"}},
        {kStn, -1, 0, 2, 0x2023410a, {"ERR:T7214"}},            // AN beyond the entries in use
        {kStn, -1, 0, 0xFFFFFFFFu, 0, {}},                      // at most 28 are in use
        // Block edit file: TAGI (0), HTLT (1, or 9 beyond the entries in use), block area (6).
        {kBlock, 6, 4, 0xFFFFFF00u, 0x2023410d, {}},
        {kBlock, 6, 8, 0xFFFFFFFFu, 0x2023410d, {}},
        {kBlock, 6, 12, 0, 0x20000108, {"ERR:T7195" + blockPath}},
        {kBlock, 0, 4, 0xFFFFFFF0u, 0x2023410a, {"ERR:Not Found TAGI Contents", "ERR:LdTuSavesSetCtrlFlagInTAGI T7196"}},
        {kBlock, -1, 0, 0, 0x2023410a, {"ERR:Not Found TAGI Contents", "ERR:LdTuSavesSetCtrlFlagInTAGI T7196"}},
        {kBlock, 1, 0, 0, 0x2023410a, {"ERR:T7213"}},           // HTLT missing
        {kBlock, 1, 4, 0xFFFFFFC0u, 0x2023410a, {"ERR:T7213"}},
    };
    std::vector<std::size_t> at;
    const auto an = sectioned({{"MSGS", 1, 64}, {"HTLT", 5, 128}, {"USAP", 5, 2}}, 1, &at);
    at.clear();
    auto stn = sectioned({{"INFO", 2, 16}, {"BL", 2, 128}, {"AN", 5, 128}}, 3, &at);
    tb::store_u16(stn.data() + at[1] + 60, entry.blockNo);
    const auto block = before_.at(blockPath);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.kind << " " << c.entry << " " << c.field);
        auto bytes = c.kind == kAn ? an : c.kind == kStn ? stn : block;
        // In a block file the HTLT may lie beyond the entries in use: damage the one in use.
        int entryNo = c.entry;
        if (c.kind == kBlock && entryNo == 1 && std::memcmp(bytes.data() + 0x40 + 16, "HTLT", 4) != 0) entryNo = 9;
        std::uint8_t* e = bytes.data() + (c.entry < 0 ? 0x2C : 0x40 + 16 * entryNo + c.field);
        if (c.entry >= 0 && c.field == 0) std::memcpy(e, "XXXX", 4);
        else tb::store_u32(e, c.value);
        std::vector<std::uint8_t> buf = c.kind == kStn ? bytes : stn;
        write_bytes(anPath, c.kind == kAn ? bytes : an);
        if (c.kind == kBlock) write_bytes(blockPath, bytes);
        lines.clear();
        std::uint32_t rc = 0;
        if (c.kind == kBlock) {
            EXPECT_TRUE(inf_.stnEdit.Load(buf));
            LdTuSaveEditFiles files;
            rc = LdTuSavesUpdateBlockFile(&inf_, &root_, &entry, blockPath, &files);
            EXPECT_EQ(files.Flush(), 0u);
        } else {
            rc = update_an(buf);
        }
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(lines, c.lines);
        EXPECT_TRUE(c.rc == 0 || (c.kind == kStn ? buf : read_file(c.kind == kAn ? anPath : blockPath)) == bytes);
    }
}

// A station whose block files take several groups of write-back.
class EditOpsGroups : public EditOps {
protected:
    EditOpsGroups() { blocks_ = 300; }
};

// A file whose write-back fails: an edit file fails the step (earlier entries new, its own and later
// ones old, the station's edit file old); a working copy gives its line, only it stays old. The
// failing file lies in a later group than the first, whose files are written back by then.
TEST_F(EditOpsGroups, GroupWriteBackFailureKeepsTheFailingEntryAndEveryLaterOneOld) {
    IEdalInstClose();   // the step opens them itself
    instOpen_ = false;
    // The block files and working copies in the order of their first use by the entries.
    std::vector<std::string> order;
    std::vector<bool> isCopy;
    for (const LdTuSaveRecord& e : tbl_) {
        std::string path;
        ASSERT_EQ(LdTuSavesGetBlockFilePath(&inf_, &e, path), 0u);
        for (const std::string& p : {path, LdTuSavesWorkCopyPath(path)})
            if (fs::exists(p) && std::find(order.begin(), order.end(), p) == order.end()) {
                order.push_back(p);
                isCopy.push_back(p != path);
            }
    }
    std::size_t blockAt = order.size() / 2;
    while (isCopy[blockAt]) ++blockAt;
    ASSERT_GT(blockAt, 64u) << "the failing file must lie past the first group of write-back (64 files)";
    std::size_t copyAt = blockAt + 1;
    while (copyAt < order.size() && !isCopy[copyAt]) ++copyAt;
    ASSERT_LT(copyAt, order.size());
    // Calls before the group's: CloseHandle commits the AN message file, WriteFile writes it
    // (the station's edit file stays open until it is written back).
    const struct {
        const char* fp;
        std::size_t at;
        unsigned callsBefore;
        const char* line;
    } cases[] = {{"CloseHandle", blockAt, 1, "ERR:T7191"},
                 {"CloseHandle", copyAt, 1, "ERR:T7191"},
                 {"WriteFile", blockAt, 1, "ERR:T7196"},
                 {"WriteFile", copyAt, 1, "ERR:T7196"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fp) + " " + order[c.at]);
        for (const auto& [path, bytes] : before_) write_bytes(path, bytes);
        lines.clear();
        const bool copy = isCopy[c.at];
        failpoint::arm(c.fp, 5, static_cast<unsigned>(c.callsBefore + c.at + 1));
        EXPECT_EQ(LdTuSaveCtrlUpdateEditFile(&inf_, &tbl_), copy ? 0u : 0x2023410au);
        failpoint::reset();
        EXPECT_TRUE(has_line(c.line + order[c.at])) << ::testing::PrintToString(lines);
        for (std::size_t i = 0; i < order.size(); ++i) expect_files(order[i], (copy ? i != c.at : i < c.at) ? after_ : before_);
        expect_files(st("FCS0101").anMsgPath, after_);
        expect_files(st("FCS0101").stationEditPath, copy ? after_ : before_);
    }
}

// Parent, other block, child: when the other file cannot be replaced, the shared file holds the
// parent's update alone.
TEST_F(EditOps, FileComingBackAfterAnotherEntrysKeepsOnlyTheEntriesBeforeTheFailure) {
    close_definitions();
    const LdTuSaveRecord *parent = nullptr, *child = nullptr, *other = nullptr;
    for (const LdTuSaveRecord& c : tbl_)
        if (!child && (c.blkCode == 6226 || c.blkCode == 6227) && c.oyaBlockNo != c.blockNo)
            for (const LdTuSaveRecord& p : tbl_)
                if (p.blockNo == c.oyaBlockNo) parent = &p, child = &c;
    ASSERT_NE(child, nullptr);
    const std::string shared = path_of(*parent);
    for (const LdTuSaveRecord& e : tbl_)
        if (!other && path_of(e) != shared) other = &e;
    ASSERT_NE(other, nullptr);
    const std::vector<std::string> files = {shared, LdTuSavesWorkCopyPath(shared), path_of(*other),
                                            LdTuSavesWorkCopyPath(path_of(*other))};
    LdTuSaveRecordTbl alone = {*parent};
    ASSERT_EQ(LdTuSaveCtrlUpdateEditFile(&inf_, &alone), 0u);
    const auto parentAlone = read_file(files[0]), parentAloneCopy = read_file(files[1]);
    ASSERT_FALSE(parentAlone == before_.at(shared));
    ASSERT_FALSE(parentAlone == after_.at(shared)) << "the child's update changes the shared file too";
    for (const auto& [path, bytes] : before_) write_bytes(path, bytes);
    LdTuSaveRecordTbl list = {*parent, *other, *child};
    // The group the child's return writes back: the shared file (and its copy), then the other.
    const unsigned otherAt = fs::exists(files[1]) ? 2 : 1;
    failpoint::arm("CloseHandle", 5, 1 + otherAt + 1);   // after the AN commit
    lines.clear();
    EXPECT_EQ(LdTuSaveCtrlUpdateEditFile(&inf_, &list), 0x2023410au);
    failpoint::reset();
    EXPECT_TRUE(has_line("ERR:T7191" + files[2])) << ::testing::PrintToString(lines);
    EXPECT_TRUE(read_file(files[0]) == parentAlone && read_file(files[1]) == parentAloneCopy);
    expect_files(files[2], before_);
    if (fs::exists(files[3])) expect_files(files[3], before_);
    // The child takes its parent's file; an unknown parent or a location above 255 fails.
    EXPECT_EQ(path_of(*child), file_of(parent->blockNo).path);
    LdTuSaveRecord orphan = *child;
    orphan.oyaBlockNo = 999;
    std::string path;
    EXPECT_EQ(LdTuSavesGetBlockFilePath(&inf_, &orphan, path), 0x20000116u);
    EXPECT_EQ(lines.back(), "ERR:T7188%BL0999");
    const std::string name = LdTuSaveFormat("%%BL%04d", child->oyaBlockNo);
    for (std::size_t i = 0; i < inf_.elemList.size(); ++i)
        if (inf_.elemList.Text(inf_.elemList[i].strElemName) == name) inf_.elemList.At(i).strLocation = *inf_.elemList.AddText("DR0257");
    EXPECT_EQ(LdTuSavesGetBlockFilePath(&inf_, child, path), 0x2023410au);
    EXPECT_EQ(lines.back(), "ERR:T7189" + st("FCS0101").blocks[child->oyaBlockNo - 1u].fileName);
}

// Working copies are found by a listing of each folder the first time the step reaches it; in
// a folder that comes back after another each copy gets its status test: updated all the same.
TEST_F(EditOps, WorkingCopiesOfAFolderThatComesBackAreUpdated) {
    close_definitions();
    auto folder = [](const std::string& p) { return p.substr(0, p.rfind('/')); };
    const LdTuSaveRecord *first = nullptr, *back = nullptr, *away = nullptr;
    for (const LdTuSaveRecord& a : tbl_)
        for (const LdTuSaveRecord& c : tbl_)
            if (!back && folder(path_of(a)) == folder(path_of(c)) && path_of(a) != path_of(c) &&
                fs::exists(LdTuSavesWorkCopyPath(path_of(a))) && fs::exists(LdTuSavesWorkCopyPath(path_of(c))))
                first = &a, back = &c;
    ASSERT_NE(back, nullptr);
    for (const LdTuSaveRecord& b : tbl_)
        if (!away && folder(path_of(b)) != folder(path_of(*first))) away = &b;
    ASSERT_NE(away, nullptr);
    // Each copy as a save of its block alone leaves it.
    std::map<std::string, std::vector<std::uint8_t>> alone;
    for (const LdTuSaveRecord* e : {first, back}) {
        LdTuSaveRecordTbl one = {*e};
        ASSERT_EQ(LdTuSaveCtrlUpdateEditFile(&inf_, &one), 0u);
        const std::string copy = LdTuSavesWorkCopyPath(path_of(*e));
        alone[copy] = read_file(copy);
        ASSERT_FALSE(alone[copy] == before_.at(copy));
        for (const auto& [path, bytes] : before_) write_bytes(path, bytes);
    }
    LdTuSaveRecordTbl list = {*first, *away, *back};
    ASSERT_EQ(LdTuSaveCtrlUpdateEditFile(&inf_, &list), 0u);
    for (const auto& [copy, bytes] : alone) EXPECT_TRUE(read_file(copy) == bytes) << copy;
}

// An empty save list still refreshes the AN message file and the station's edit file; a UAID item
// of four bytes fails its block (7211) and leaves the station's edit file.
TEST_F(EditStep, EmptySaveListRefreshesTheAnFileAndAUaidOfFourBytesFails) {
    for (bool empty : {true, false}) {
        SCOPED_TRACE(empty);
        desc_ = sample::default_description();
        desc_.stations[0].blocks = empty ? 0 : desc_.stations[0].blocks;
        for (auto& m : desc_.stations[0].models)
            for (auto& it : m.items)
                if (!empty && it.name == "UAID") it.elemSize = 4;
        build_files();
        const std::string an = st("FCS0101").anMsgPath, stn = st("FCS0101").stationEditPath;
        ASSERT_EQ(save("FCS0101"), empty ? 0u : 0x2023410au) << ::testing::PrintToString(lines);
        EXPECT_EQ(has_line("ERR:T7211"), !empty);
        expect_files(stn, empty ? after_ : before_);
        expect_files(empty ? an : "", after_);
        EXPECT_TRUE(!empty || after_.at(an) != before_.at(an));
    }
}

// A missing element fails the step (7188) before any file; a record of another size fails its file.
TEST_F(EditOps, MissingElementOrRecordOfAnotherSizeFail) {
    const LdTuSaveRecord& entry = tbl_.front();
    const bool child = entry.blkCode == 6226 || entry.blkCode == 6227;
    char name[16];
    std::snprintf(name, sizeof name, "%%BL%04d", child ? entry.oyaBlockNo : entry.blockNo);
    const auto elems = inf_.elemList;
    inf_.elemList.EraseIf([&](const _QVEElemTbl& e) { return std::string_view(elems.Text(e.strElemName)) == name; });
    IEdalInstClose();   // the step opens them itself, and closes them on its way out
    EXPECT_EQ(LdTuSaveCtrlUpdateEditFile(&inf_, &tbl_), 0x2023410au);
    EXPECT_EQ(lines.back(), std::string("ERR:T7188") + name);
    EXPECT_EQ(inf_.stnEdit.Size(), 0u);
    expect_files(st("FCS0101").stationEditPath, before_);
    ASSERT_EQ(IEdalInstOpenForTP("DEMO", "FCS0101", 2), 0);
    inf_.elemList = elems;
    const std::string path = file_of(entry.blockNo).path;
    auto bytes = before_.at(path);
    LdTuSaveEditFile f(path, LdTuSaveEditBytes(bytes.begin(), bytes.end()));
    std::uint32_t start = 0, end = 0, cnt = 0;
    LdTuSavesRecDesc desc[32];
    ASSERT_EQ(LdTuSavesGetBlockOffset(path.c_str(), &f, static_cast<std::int16_t>(entry.blockNo), entry.blkCode,
                                      &start, &end, &cnt, desc),
              0u);
    const std::size_t at = start + 0x40 + 8 * (entry.recNo[0] - 1) + 4;
    tb::store_u32(bytes.data() + at, tb::load_u32(bytes.data() + at) - 8);
    write_bytes(path, bytes);
    std::vector<std::uint8_t> stn = before_.at(st("FCS0101").stationEditPath);
    ASSERT_TRUE(inf_.stnEdit.Load(stn));
    LdTuSaveEditFiles files;
    lines.clear();
    EXPECT_EQ(LdTuSavesUpdateBlockFile(&inf_, &root_, &entry, path, &files), 0x2023410au);
    EXPECT_EQ(files.Flush(), 0u);
    EXPECT_TRUE(read_file(path) == bytes);
    const std::string want = LdTuSaveFormat("ERR:LdTuSavesWriteRecord:RecSize differs. BlockNum=%d, RecNum=%d,",
                                            static_cast<int>(entry.blockNo), static_cast<int>(entry.recNo[0]));
    EXPECT_TRUE(lines.size() == 1u && lines[0].starts_with(want)) << ::testing::PrintToString(lines);
}

}  // namespace
}  // namespace ctrl_test

namespace {

using imgtest::Lines;

struct Blk {
    std::int16_t no;
    std::uint16_t code;
    std::vector<std::uint32_t> sizes;   // records 1..n; record 1 holds head and table
    int count1 = -1;                    // descriptor count 1 as written (-1: sizes.size())
};

constexpr std::uint32_t kTagi = 0x200, kHtlt = 0x230, kArea = 0x3B0;
constexpr std::uint16_t k6226 = 6226;

// TAGI (entry 0), HTLT (entry 1, 3 records), block area (entry 6, in 16-byte units), 7 in use.
std::vector<std::uint8_t> MakeEdf(const std::vector<Blk>& blks) {
    std::vector<std::uint8_t> f(kArea, 0xEE);
    std::fill(f.begin() + 0x2C, f.begin() + 0x200, 0);
    tb::store_u32(f.data() + 0x2C, 7);
    auto dir = [&](int i, const char* tag, std::uint32_t off, std::uint32_t cnt, std::uint32_t unit) {
        std::uint8_t* e = f.data() + 0x40 + 16 * i;
        std::memcpy(e, tag, std::strlen(tag));
        tb::store_u32(e + 4, off), tb::store_u32(e + 8, cnt), tb::store_u32(e + 12, unit);
    };
    dir(0, "TAGI", kTagi, 1, 48);
    dir(1, "HTLT", kHtlt, 3, 128);
    for (const Blk& b : blks) {
        const std::size_t at = f.size();
        const std::size_t n = b.sizes.size();
        std::uint64_t sum = 0;
        for (auto sz : b.sizes) sum += sz;
        f.resize(at + std::max<std::uint64_t>(0x40 + 8 * n, std::min<std::uint64_t>(sum, 0x1000)), 0xA5);
        tb::store_u16(f.data() + at, static_cast<std::uint16_t>(b.no));
        tb::store_u16(f.data() + at + 0x14, b.code);
        f[at + 0x16] = static_cast<std::uint8_t>(b.count1 < 0 ? static_cast<int>(n) : b.count1);
        f[at + 0x17] = 0;
        std::uint32_t off = 0;
        for (std::size_t k = 0; k < n; ++k) {
            tb::store_u32(f.data() + at + 0x40 + 8 * k, off);
            tb::store_u32(f.data() + at + 0x44 + 8 * k, b.sizes[k]);
            off += b.sizes[k];
        }
    }
    const std::size_t areaLen = (f.size() - kArea + 15) / 16 * 16;
    f.resize(kArea + areaLen, 0);
    dir(6, "FBLK", kArea, static_cast<std::uint32_t>(areaLen / 16), 16);
    return f;
}

struct Walk {
    std::uint32_t rtn, start = 0, end = 0, cnt = 0;
    LdTuSavesRecDesc desc[32];
};

Walk Find(const std::vector<std::uint8_t>& bytes, std::int16_t no, std::uint16_t code) {
    LdTuSaveEditFile f("/x/F.edf", LdTuSaveEditBytes(bytes.begin(), bytes.end()));
    Walk w{};
    w.rtn = LdTuSavesGetBlockOffset("/x/F.edf", &f, no, code, &w.start, &w.end, &w.cnt, w.desc);
    return w;
}

class EditFormat : public ::testing::Test {
protected:
    void SetUp() override {
        std::map<unsigned, std::string> t;
        for (unsigned id : {7193u, 7194u, 7195u, 7196u}) t[id] = "T" + std::to_string(id);
        port::set_string_table(t);
    }
    Lines lines;
};

const std::vector<Blk> kFile = {{10, 0x0301, {0x40 + 24 + 16, 32, 16}},
                                {11, k6226, {0x40 + 16 + 8, 40}},
                                {12, 6227, {0x40 + 16 + 8, 24}},
                                {13, k6226, {0x40 + 24 + 8, 32, 64}}};

// The walk reaches children within three numbers of their parent; damaged entries are refused with
// one line.
TEST_F(EditFormat, BlockWalkReachesChildrenWithinThreeNumbersAndRefusesDamagedEntries) {
    struct Case {
        std::vector<Blk> blks;
        std::int16_t no;
        std::uint16_t code;
        std::uint32_t rtn, start;
        const char* line = nullptr;   // prefix of the one line
    } cases[] = {
        {kFile, 10, 0x0301, 0, kArea},                                // first entry, any code
        {kFile, 13, k6226, 0, kArea + 152 + 128 + 112},               // past 10, 11, 12
        {kFile, 11, 0x0301, 0x2023410d, 0},                           // other codes must come first
        {kFile, 14, k6226, 0x2023410d, 0},                            // 10 is 4 below 14
        {kFile, 10, k6226, 0x2023410d, 0},                            // number right, code wrong
        // An entry of no size would hold the walk in place.
        {{{10, 0x0301, {0, 0}}, {11, k6226, {0x50}}}, 11, k6226, 0x20000108, 0, "ERR:T7195/x/F.edf"},
        // 33 descriptors cannot go into the table of 32.
        {{{11, k6226, {0x200}, 33}}, 11, k6226, 0x20000108, 0, "ERR:LdTuSavesGetBlockOffset:RecTotalCnt is Over 32"},
        // Descriptor sizes that reach past the block area.
        {{{11, k6226, {0x48, 0xFFFFFFF0u}}}, 11, k6226, 0x20000108, 0,
         "ERR:LdTuSavesGetBlockOffset nBlockEnd is over nBtmOffset"},
        // Walking past the bottom.
        {{{10, 0x0301, {0x50}}}, 11, k6226, 0x20000108, 0, "ERR:T7195/x/F.edf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        lines.v.clear();
        Walk w = Find(MakeEdf(c.blks), c.no, c.code);
        EXPECT_EQ(w.rtn, c.rtn);
        EXPECT_TRUE(c.rtn != 0 || w.start == c.start);
        ASSERT_EQ(lines.v.size(), c.line ? 1u : 0u);
        EXPECT_TRUE(!c.line || lines.v[0].starts_with(c.line)) << ::testing::PrintToString(lines.v);
    }
    // Record numbers up to the descriptor count, records inside the block (offset + size wraps).
    lines.v.clear();
    Walk w = Find(MakeEdf(kFile), 13, k6226);
    EXPECT_EQ(std::pair(w.cnt, w.end), std::pair(3u, w.start + 0x40 + 24 + 8 + 32 + 64));
    LdTuSaveEditFile ef("/x/F.edf", LdTuSaveEditBytes{});
    std::uint32_t off = 0;
    EXPECT_EQ(LdTuSavesGetRecOffset("p", &ef, w.start, w.end, w.cnt, w.desc, 3, &off), 1);
    EXPECT_EQ(off, w.start + 0x40 + 24 + 8 + 32);
    EXPECT_EQ(LdTuSavesGetRecOffset("p", &ef, w.start, w.end, w.cnt, w.desc, 4, &off), 0);
    w.desc[1].size = 0xFFFFFFFFu;
    EXPECT_EQ(LdTuSavesGetRecOffset("p", &ef, w.start, w.end, w.cnt, w.desc, 2, &off), 0);
    ASSERT_EQ(lines.v.size(), 2u);
    EXPECT_EQ(lines.v[0], "ERR:LdTuSavesGetRecOffset:SaveRecNum is Over RecTotalCnt. SaveRecNum=4, RecTotalCnt=3");
    EXPECT_EQ(lines.v[1].rfind("ERR:LdTuSavesGetRecOffset:RecOffset is Over BtmOffset.", 0), 0u);
    // A write past the end of an edit file is refused, never appended (bounds of the walk and the
    // writes on damaged files: the editfile fuzz replay).
    const auto edf = MakeEdf(kFile);
    LdTuSaveEditFile f("p", LdTuSaveEditBytes(edf.begin(), edf.end()));
    const auto size = f.Size();
    ASSERT_TRUE(f.Seek(size));
    EXPECT_FALSE(f.Write("x", 1));
    EXPECT_EQ(f.Size(), size);
}

QVEElemList List(std::initializer_list<std::string> names) {
    QVEElemList list;
    for (const std::string& n : names) list.Add(n, "L-" + n);
    return list;
}

// The station's edit file is taken in and written back a piece at a time: a BL section read in
// several pieces (the first record of a number is the block's), and the UAIDs put into pieces of
// any size, fields split between two of them, give the bytes of the whole file changed at once.
TEST(StationEditFile, PiecesOfAnySizeGiveTheWholeFileChanged) {
    std::vector<std::size_t> at;
    auto stn = ctrl_test::sectioned({{"INFO", 1, 16}, {"BL", 1100, 128}, {"AN", 5, 128}}, 3, &at);
    for (std::uint32_t k = 0; k < 1100; ++k) tb::store_u16(stn.data() + at[1] + 128 * k + 60, k % 1000 + 1);
    LdTuSaveStnEdit edit;
    ASSERT_TRUE(edit.Load(stn));
    for (std::int16_t no : {1, 513, 1000}) EXPECT_EQ(edit.PutUaidInBL(no, static_cast<std::uint16_t>(0x100 + no)), 0u);
    EXPECT_EQ(edit.PutUaidInBL(1001, 1), 0x2023410au);
    const std::uint16_t uaids[5] = {0x1111, 0x2222, 0x3333, 0x4444, 0x5555};
    ASSERT_TRUE(edit.PutUaidsInAN(reinterpret_cast<const std::uint8_t*>(uaids), 4));
    auto want = stn;
    edit.Apply(want, 0);
    for (std::uint32_t k = 0; k < 1100; ++k) {
        const std::uint16_t no = static_cast<std::uint16_t>(k % 1000 + 1);
        const bool set = k < 1000 && (no == 1 || no == 513 || no == 1000);
        EXPECT_EQ(tb::load_u16(want.data() + at[1] + 128 * k + 66), set ? 0x100 + no : 0xEEEE) << k;
    }
    for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(tb::load_u16(want.data() + at[2] + 128 * k + 66), k < 4 ? uaids[k] : 0xEEEE);
    for (std::size_t piece : {1u, 3u, 127u, 4096u, 65536u}) {
        auto bytes = stn;
        for (std::size_t off = 0; off < bytes.size(); off += piece)
            edit.Apply(std::span(bytes.data() + off, std::min(piece, bytes.size() - off)), off);
        EXPECT_TRUE(bytes == want) << piece;
    }
}

TEST(ElemSearch, FindsEveryElementAndRefusesNamesOutsideOrBetweenNullOrUnsorted) {
    imgtest::Lines lines;
    for (std::size_t count = 1; count <= 9; ++count) {
        QVEElemList list;
        for (std::size_t i = 0; i < count; ++i) list.Add(LdTuSaveFormat("%%BL%04zu", 2 * i + 2), "");  // even only
        for (std::size_t n = 1; n <= 2 * count + 1; ++n) {
            const std::string name = LdTuSaveFormat("%%BL%04zu", n);
            _QVEElemTbl out;
            out.n5 = 77;  // untouched unless found
            const std::uint32_t r = ElemSearch(name.c_str(), list, &out);
            EXPECT_EQ(r, n % 2 ? TUSAVE_E_NOELEM : 0u) << count << " " << name;
            EXPECT_EQ(n % 2 ? std::to_string(out.n5) : std::string(list.Text(out.strElemName)), n % 2 ? "77" : name);
        }
    }
    // Unsigned byte order: a name with a byte above 0x7F sorts after plain ASCII. The record
    // found points into the list's texts.
    auto high = List({"%BL0001", "%BL\xC1"});
    _QVEElemTbl out;
    EXPECT_EQ(ElemSearch("%BL\xC1", high, &out), 0u);
    EXPECT_STREQ(high.Text(out.strLocation), "L-%BL\xC1");
    EXPECT_TRUE(lines.v.empty());
    // A null name, an empty list, a list in descending order.
    EXPECT_EQ(ElemSearch(nullptr, List({"%BL0001"}), &out), 1u);
    EXPECT_EQ(ElemSearch("%BL0001", {}, &out), TUSAVE_E_NOELEM);
    EXPECT_EQ(ElemSearch("%BL0002", List({"%BL0003", "%BL0001"}), &out), 1u);
    EXPECT_EQ(lines.v, std::vector<std::string>{"ElemSearch:invalid case %BL0002"});
}

}  // namespace
