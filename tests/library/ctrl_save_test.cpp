// The save control driven through the export against a sample workstation; the station tool
// backup step against the sample's custom folders and the real backup tool, which logs every run
// it received; the tool program's own argument checks and I/O errors.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "../workstation/common_fixture.h"
#include "LdTuSaveCtrl.h"
#include "ctrl_fixture.h"
#include "image_fixture.h"
#include "port.h"
#include "project_files.h"
#include "tusave_bytes.h"

namespace ctrl_test {
namespace {

using Lines = std::vector<std::string>;

// A full save and a check-only one: progress, lines, traces, history, nothing loaded or written by the check.
TEST_F(CtrlSave, FullSaveAndCheckOnlySave) {
    build();
    const std::string trace = dir_ + "/trace.txt";
    setenv("TUSAVE_TRACE", trace.c_str(), 1);
    ASSERT_EQ(save("FCS0101", 2, 0), 0u);
    unsetenv("TUSAVE_TRACE");
    // Step traces go to their file, never among the lines; no wait cursor without automatic backup.
    for (const auto& l : lines) EXPECT_EQ(l.find("Start"), std::string::npos) << l;
    EXPECT_NE(project_files::read_text(trace).find("LdTuSaveCtrlFcsUnlock Start"), std::string::npos);
    EXPECT_EQ(cursorBegin_ + cursorEnd_, 0);
    EXPECT_EQ(progress(), (Lines{"PRG:00", "PRG:05", "PRG:10", "PRG:20", "PRG:30", "PRG:40", "PRG:70", "PRG:90",
                                 "PRG:100"}));
    EXPECT_EQ(lines[1], start_line("FCS0101"));
    EXPECT_TRUE(has_line("MSG:T7209") && has_line("MSG:T7210"));
    EXPECT_EQ(queries_, 1);
    expect_closed(false);
    EXPECT_EQ(history(), (Lines{"start FCS0101", "end FCS0101"}));
    const std::string db = st("FCS0101").databasePath;
    const std::string before = project_files::read_text(db);
    struct stat sb{};
    ASSERT_EQ(stat(db.c_str(), &sb), 0);
    failpoint::arm("__QVEEngMalloc", 0, 1000000);  // counts allocations without failing them
    ASSERT_EQ(save("FCS0101", 2, 1), 0u);
    EXPECT_EQ(lines, (Lines{"PRG:00", start_line("FCS0101"), "MSG:T7209", "MSG:T7210", "PRG:05", "PRG:100",
                             end_line(false)}));
    EXPECT_EQ(failpoint::calls("__QVEEngMalloc"), 0u);
    struct stat sa{};
    ASSERT_EQ(stat(db.c_str(), &sa), 0);
    EXPECT_TRUE(sa.st_ino == sb.st_ino && sa.st_mtim.tv_nsec == sb.st_mtim.tv_nsec);
    EXPECT_EQ(project_files::read_text(db), before);
    EXPECT_EQ(history(), (Lines{"start FCS0101", "end FCS0101", "start FCS0101", "end FCS0101"}));
}

// Rejected arguments give the lock back (the station can be locked again), no history (locked by
// another holder: Cli; a refused unlock: FaultMatrix). A station under test runs without the check
// whatever mode was passed; APCS keeps the check but saves in test mode; the wait cursor shows once,
// only with automatic backup (none: FullSaveAndCheckOnlySave). A failed test-mode query does not keep
// the previous save's answer. The equalization project uses the EQLZ variants and writes no history.
TEST_F(CtrlSave, ArgumentsTestModeWaitCursorAndEqualization) {
    build();
    EXPECT_EQ(QVELdFcsTuningParmSave(nullptr, "P2", "DEMO", "FCS0101", 2, 0, 0), TUSAVE_E_ARGS);
    EXPECT_EQ(lines, (Lines{"PRG:00", start_line("FCS0101"), "PRG:100", end_line(true)}));
    for (auto [kind, mode] : {std::pair{4u, 0u}, {2u, 3u}}) {   // kind and mode outside their ranges
        EXPECT_EQ(save("FCS0101", kind, mode), TUSAVE_E_ARGS);
        expect_closed(true);
    }
    EXPECT_TRUE(history().empty());
    char info[16] = {};
    void* handle = nullptr;
    ASSERT_EQ(QVEEdaGenLockStation("DEMO", "FCS0101", 1, info, sizeof info, &handle), 0u);
    EXPECT_EQ(QVEEdaGenUnlockStation("DEMO", "FCS0101", handle), 0u);
    for (bool underTest : {true, false}) {
        SCOPED_TRACE(underTest);
        desc_.stations[0].underTest = underTest;
        desc_.stations[0].apcs = desc_.stations[0].autoBackup = !underTest;
        build();
        queries_ = cursorBegin_ = cursorEnd_ = 0;
        ASSERT_EQ(save("FCS0101", 2, underTest ? 5 : 0), 0u);
        EXPECT_EQ(queries_, underTest ? 0 : 1);
        EXPECT_EQ(std::pair(has_line("MSG:T7209"), has_line("MSG:T7210")), std::pair(!underTest, !underTest));
        EXPECT_EQ(progress().size(), 9u);
        EXPECT_EQ(g_testMode, 1);
        EXPECT_EQ(std::pair(cursorBegin_, cursorEnd_), underTest ? std::pair(0, 0) : std::pair(1, 1));
        expect_closed(false);
    }
    queries_ = 0;
    failpoint::arm("QVEEdaCheckQVTestByName", 5);
    save("FCS0102", 2, 0);
    EXPECT_EQ(g_testMode, 0);
    EXPECT_EQ(queries_, 1);   // the check ran: FCS0102 is not under test
    failpoint::reset();
    desc_ = sample::default_description();
    build();
    // The equalization project: a copy of the project in its EQLZ folder.
    const fs::path top = result_.projectDir, eq = top / "EQLZ";
    fs::create_directories(eq);
    for (const auto& e : fs::directory_iterator(top))
        if (e.path().filename() != "EQLZ") fs::copy(e.path(), eq / e.path().filename(), fs::copy_options::recursive);
    failpoint::arm("CQVERXEdaSysObj::Init", 1, 1000000);
    failpoint::arm("CQVERXEdaSysObj::InitEqlz", 1, 1000000);
    const Lines saves = history();
    EXPECT_EQ(save("FCS0101", 3, 2), 0u);
    EXPECT_GE(failpoint::calls("CQVERXEdaSysObj::InitEqlz"), 1u);
    EXPECT_EQ(failpoint::calls("CQVERXEdaSysObj::Init"), 0u);
    EXPECT_EQ(history(), saves);
    expect_closed(false);
}

TEST_F(CtrlSave, NonCurrentProjectIsSavedOnlyFromAStationUnderTest) {
    desc_.workstation.currentProject = "OTHER";
    desc_.stations[1].underTest = true;
    build();
    EXPECT_EQ(save("FCS0101", 2, 2), TUSAVE_E_INIT);
    EXPECT_TRUE(has_line("ERR:T7221:DEMO:FCS0101"));
    expect_closed(true);
    EXPECT_EQ(save("FCS0102", 2, 0), 0u);
    expect_closed(false);
    // With the test flag of the workstation, the current project is refused.
    desc_.workstation.currentProject = "DEMO";
    desc_.workstation.vrecTest = true;
    build();
    EXPECT_EQ(save("FCS0101", 2, 2), TUSAVE_E_INIT);
    EXPECT_TRUE(has_line("ERR:T7220"));
    ASSERT_FALSE(history().empty());
    EXPECT_EQ(history().back(), "abort FCS0101");
}

TEST_F(CtrlSave, DatabaseFileOfAnotherStationIsRefusedByTheCheck) {
    build();
    const std::string db = st("FCS0101").databasePath;
    fs::copy_file(st("FCS0102").databasePath, db, fs::copy_options::overwrite_existing);
    const std::string before = project_files::read_text(db);
    EXPECT_EQ(save("FCS0101", 2, 0), TUSAVE_E_UPLOAD);
    EXPECT_TRUE(has_line("ERR:LdCheckGenTime(): the station database file " + db +
                         " is of station 2, not of the station saved (1)"));
    EXPECT_EQ(queries_, 0);
    EXPECT_EQ(project_files::read_text(db), before);
}

// A file too short for its root tables, cut at its first block header or inside BldbPtrTbl (the
// blocks past the cut would be missing from the upload and the TP file), a root reference of 0 or
// outside the image, references that would otherwise read as "absent" (the station-wide I/O table,
// the tables it names and theirs pointing outside the file, a negative MaxBlock): each fails the
// load, with or without the check, with the line naming the table; no project file changes. An
// address of 0 still means "none" for the I/O tables.
TEST_F(CtrlSave, CorruptDatabaseFileFailsTheLoadAndWritesNothing) {
    build();
    const sample::StationResult& s = st("FCS0101");
    const std::string db = s.databasePath;
    const std::string good = project_files::read_text(db);
    auto u32 = [&](std::size_t off) { return tb::load_u32(reinterpret_cast<const std::uint8_t*>(good.data()) + off); };
    const std::uint32_t base = u32(0x240) - 0x100;
    auto conv = [&](std::uint32_t adrs) { return 0x200 + static_cast<std::size_t>(adrs - base); };
    const std::size_t io = conv(u32(0x248)), area = conv(u32(0x280)), acnst = conv(u32(area + 0x08));
    const std::size_t blkPtr = conv(u32(area + 0x0C));
    std::size_t firstHeader = 0;
    for (const auto& b : s.blocks)
        if (!b.empty && firstHeader == 0) firstHeader = b.headerOffset;
    ASSERT_NE(u32(0x248), 0u);
    ASSERT_GT(firstHeader, 0u);
    const std::size_t bldb = s.bldbPtrTblOffset, maxBlock = static_cast<std::size_t>(s.maxBlock);
    ASSERT_GT(maxBlock, 2u);
    const std::string cutBldb = "BldbPtrTbl is Invalid MaxBlock = " + std::to_string(maxBlock);
    constexpr std::uint32_t kOutside = 0x7FFFFFF0, kCut = 1, kNegative = 2;
    const struct {
        std::size_t at;        // u32 field set to value; with kCut the size the file is cut to
        std::uint32_t value;   // with kNegative MaxBlock, u16 -2
        std::string table;     // the line without the file name; empty: the save goes through
    } cases[] = {
        {0, kCut, "the file is too short for its root tables (0 bytes)"},
        {0x200, kCut, "the file is too short for its root tables (512 bytes)"},
        {0x400, kCut, "the file is too short for its root tables (1024 bytes)"},   // inside the station constants
        {0x240, 0, "StnCnstTblAdrs is Invalid"},
        {0x240, kOutside, ""},   // the base moves with it: some table after it fails
        {0x280, 0, "AreaRootTbl1 is Invalid"}, {0x280, kOutside, "AreaRootTbl1 is Invalid"},
        {area + 0x08, 0, "AreaCnstTbl is Invalid"}, {area + 0x08, kOutside, "AreaCnstTbl is Invalid"},
        {area + 0x0C, 0, "BlockPtrTbl is Invalid"}, {area + 0x0C, kOutside, "BlockPtrTbl is Invalid"},
        {blkPtr + 0x08, 0, "BldbPtrTbl is Invalid"}, {blkPtr + 0x08, kOutside, "BldbPtrTbl is Invalid"},
        {0x248, kOutside, "StnIoTbl is Invalid"},
        {io + 0x80, kOutside, "StnIoTbl+0x80 is Invalid"},
        {io + 0x104, kOutside, "StnIoTbl+0x104 is Invalid"},
        {conv(u32(io + 0x104)) + 0x4, kOutside, "StnIoTbl+0x104+0x4 is Invalid"},
        {io + 0x214, kOutside, "StnIoTbl+0x214 is Invalid"},
        {conv(u32(io + 0x248)) + 0x30, kOutside, "StnIoTbl+0x248+0x30 is Invalid"},
        {acnst + 0x40, kNegative, "AreaCnstTbl MaxBlock is negative (-2)"},
        {firstHeader, kCut, "BldbPtrTbl block 1 header is Invalid"},
        {bldb + 4 * (maxBlock / 2), kCut, cutBldb},
        {bldb + 4 * maxBlock - 1, kCut, cutBldb},
        {io + 0x214, 0, ""},
    };
    for (const auto& c : cases)
    for (unsigned mode : {0u, 2u}) {
        SCOPED_TRACE(c.table + " at " + std::to_string(c.at) + " mode " + std::to_string(mode));
        std::string bytes = good;
        auto* p = reinterpret_cast<std::uint8_t*>(bytes.data());
        if (c.value == kCut) bytes.resize(c.at);
        else if (c.value == kNegative) tb::store_u16(p + c.at, 0xFFFE);
        else tb::store_u32(p + c.at, c.value);
        std::ofstream(db, std::ios::binary | std::ios::trunc) << bytes;
        const project_files::Files before = project_files::snapshot(dir_);
        const unsigned rc = save("FCS0101", 2, mode);
        if (c.table.empty() && c.value == 0) {
            EXPECT_EQ(rc, 0u) << ::testing::PrintToString(lines);
            continue;
        }
        if (mode == 0 && bytes.size() < 0x200) {
            EXPECT_NE(rc, 0u);
            EXPECT_TRUE(has_prefix("ERR:LdCheckGenTime(): no station database header in " + db));
        } else {
            EXPECT_EQ(rc, TUSAVE_E_DBREAD);
            const std::string want = "ERR:LdTuSaveCtrlDBRead:" + c.table + (c.table.empty() ? "" : " FileName = " + db);
            EXPECT_TRUE(c.table.empty() ? has_prefix(want) : has_line(want)) << want << ::testing::PrintToString(lines);
        }
        EXPECT_FALSE(has_line("PRG:10"));
        EXPECT_TRUE(project_files::snapshot(dir_) == before) << ::testing::PrintToString(lines);
    }
}

TEST_F(CtrlSave, MissingTextsDropFixedLinesButKeepFormattedOnes) {
    auto t = test_strings();
    t.erase(7175);
    t.erase(7221);
    port::set_string_table(t);
    desc_.workstation.currentProject = "OTHER";
    build();
    fs::remove(st("FCS0102").databasePath);
    EXPECT_EQ(save("FCS0102", 2, 2), TUSAVE_E_INIT);
    EXPECT_TRUE(has_line("ERR::DEMO:FCS0102"));
    desc_.workstation.currentProject = "DEMO";
    build();
    fs::remove(st("FCS0101").databasePath);
    EXPECT_EQ(save("FCS0101", 2, 2), TUSAVE_E_STNFILE);
    EXPECT_EQ(lines, (Lines{"PRG:00", start_line("FCS0101"), "PRG:100", end_line(true)}));
}

}  // namespace
}  // namespace ctrl_test

namespace {

namespace fs = std::filesystem;
using ctrl_test::CtrlSave;

const std::string kTool = std::string(TUSAVE_BUILD_DIR) + "/tools/shgsave/shgsave";
constexpr const char* kDevice = "udp:127.0.0.1:47110";

using project_files::read_file;

class ToolBackup : public CtrlSave {
protected:
    void SetUp() override {
        CtrlSave::SetUp();
        auto t = ctrl_test::test_strings();
        for (unsigned id : {4214u, 4215u, 7216u, 7217u, 7218u, 7219u, 7623u}) t[id] = "T" + std::to_string(id);
        port::set_string_table(t);
    }
    void TearDown() override {
        unsetenv("TUSAVE_FAILPOINTS");
        setenv("TUSAVE_HOME", dir_.c_str(), 1);
        CtrlSave::TearDown();
    }
    // The sample with the backup tool installed, and a context as initialisation leaves it.
    void make(bool current = true, bool apcs = false) {
        sample::BuildOptions o;
        o.tool = kTool;
        result_ = sample::build(desc_, dir_, o);
        image_ = read_file(st("FCS0101").databasePath);
        inf_.strStation = "FCS0101", inf_.isCurrentProject = current ? 1 : 0, inf_.isAPCS = apcs ? 1 : 0;
        ASSERT_EQ(inf_.filePath.InitProject("DEMO"), 0u);
    }
    std::uint32_t run() {
        lines.clear();
        inf_.pDbImage.Borrow(image_.data(), image_.size());
        return LdTuSaveCtrlUpdateParmFile(&inf_);
    }
    // Entry i of the custom folder name list.
    void name(std::size_t i, const std::string& n) {
        const std::size_t off = st("FCS0101").customFolderListOffset + 8 * i;
        std::fill_n(image_.begin() + static_cast<std::ptrdiff_t>(off), 8, 0);
        std::copy(n.begin(), n.end(), image_.begin() + static_cast<std::ptrdiff_t>(off));
    }
    // The runs the tool logged: "device<TAB>numbers<TAB>file<TAB>outcome".
    std::vector<std::string> runs() const {
        std::vector<std::string> out;
        std::ifstream in(dir_ + "/log/shgsave.log");
        for (std::string l; std::getline(in, l);) out.push_back(l.substr(l.find('\t') + 1));
        return out;
    }
    // <station>/Custom/[<folder>/]<side>/<name> -> backup/shgsave/1-1/[<folder>/]<side>/<name>
    std::string copy_of(const std::string& file) const {
        return dir_ + "/backup/shgsave/1-1/" + file.substr(file.find("/Custom/") + 8);
    }
    std::string copied(const std::string& file) const {
        return std::string(kDevice) + "\t1-1\t" + file + "\tcopied to " + copy_of(file);
    }
    std::vector<std::uint8_t> image_;
    LdTuSaveCtrlInf inf_;
};

TEST_F(ToolBackup, EveryFcsFileIsCopiedOnceInListOrderSimFilesForOtherProjectsAndApcs) {
    make();
    const auto& files = st("FCS0101").toolFilesFcs;
    ASSERT_EQ(files.size(), 4u);  // the directory "x.xseg", "notes.txt", SIM and unlisted files are not
    EXPECT_NE(files[0].find("/Custom/CUSTOM01/FCS/loop 02.xseg"), std::string::npos);
    EXPECT_NE(files[2].find("/Custom/FCS/common.xseg"), std::string::npos);  // the empty entry
    // A link to a folder counts as the folder: passed over as the directory "x.xseg" is.
    fs::create_directory_symlink(".", fs::path(files[2]).parent_path() / "linked.xseg");
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(lines, (std::vector<std::string>{"MSG:T4214", "MSG:T4215"}));
    std::vector<std::string> want;
    for (const auto& f : files) {
        want.push_back(copied(f));
        EXPECT_EQ(read_file(copy_of(f)), read_file(f)) << f;
    }
    EXPECT_EQ(runs(), want);  // the path with a blank arrived as one argument
    // Same name in two folders: two copies.
    for (const char* f : {"CTRLDATA", "CUSTOM01"}) EXPECT_TRUE(fs::exists(dir_ + "/backup/shgsave/1-1/" + f + "/FCS/loop01.xseg"));
    // The SIM files for other projects and for APCS.
    for (auto [current, apcs] : {std::pair{false, false}, {true, true}}) {
        SCOPED_TRACE(std::to_string(current) + std::to_string(apcs));
        make(current, apcs);
        fs::remove(dir_ + "/log/shgsave.log");
        EXPECT_EQ(run(), 0u);
        want.clear();
        for (const auto& f : st("FCS0101").toolFilesSim) want.push_back(copied(f));
        ASSERT_EQ(want.size(), 3u);
        EXPECT_EQ(runs(), want);
    }
}

// No station-wide I/O table, no list, StnCnstTblAdrs 0, a list outside the image, no file in the
// listed folders: no line and no run. Refused folder names are named and not searched.
TEST_F(ToolBackup, NoListOrNoFileRunsNothingAndRefusedFolderNamesAreNamed) {
    make();
    const std::vector<std::uint8_t> good = image_;
    const std::size_t io = 0x200 + tb::load_u32(&image_[0x248]) - (tb::load_u32(&image_[0x240]) - 0x100);
    for (auto [off, value] : {std::pair<std::size_t, std::uint32_t>{0x248, 0}, {io + 0x214, 0}, {0x240, 0},
                              {io + 0x214, 0xFFFFFF00u}}) {
        image_ = good;
        tb::store_u32(&image_[off], value);
        EXPECT_EQ(run(), 0u);
        EXPECT_TRUE(lines.empty()) << off;
    }
    image_ = good;
    for (std::size_t i = 0; i < 16; ++i) name(i, i == 0 ? "NOFOLDER" : "CTRLDATA");
    const std::string only = st("FCS0101").toolFilesFcs[3];   // CTRLDATA's only FCS file
    const std::string kept = dir_ + "/kept.xseg";
    fs::rename(only, kept);
    EXPECT_EQ(run(), 0u);
    EXPECT_TRUE(lines.empty() && runs().empty());
    fs::rename(kept, only);
    // Files that the refused names would reach if they were joined into paths.
    const std::string stn = result_.projectDir + "/FCS0101";
    for (const char* d : {"/x/FCS", "/Custom/a/b/FCS", "/Custom/FCS/FCS"}) {
        fs::create_directories(stn + d);
        std::ofstream(stn + d + "/evil.xseg") << "x";
    }
    const std::vector<std::string> refused = {"../x", "a/b", ".", "a\\b"};
    std::vector<std::string> want;
    for (std::size_t i = 0; i < refused.size(); ++i) name(i, refused[i]);
    for (const auto& r : refused) want.push_back("WRN:LdTuSaveCtrlUpdateParmFile:custom folder name refused:\"" + r + "\"");
    want.insert(want.end(), {"MSG:T4214", "MSG:T4215"});
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(lines, want);
    EXPECT_EQ(runs(), (std::vector<std::string>{copied(stn + "/Custom/CTRLDATA/FCS/loop01.xseg")}));
}

// No device name or no room for the tool path: nothing runs; a tool that fails or does not start
// warns per file and the next file still runs.
TEST_F(ToolBackup, NoDeviceNameNoToolPathAndToolFailures) {
    make();
    failpoint::arm("ZclGetDeviceName", 1);
    EXPECT_EQ(run(), TUSAVE_E_NODEVICE);
    EXPECT_EQ(lines, (std::vector<std::string>{"WRN:T7623"}));
    // A workstation folder whose tool path does not fit the 256-byte buffer.
    const std::string longHome = dir_ + "/" + std::string(250 - dir_.size(), 'h');
    fs::create_directory_symlink(dir_, longHome);
    setenv("TUSAVE_HOME", longHome.c_str(), 1);
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(lines, (std::vector<std::string>{"MSG:T4214",
                                                LdTuSaveFormat("WRN:T7216:%#x:shgsave -h %s 1-1 ", ENAMETOOLONG, kDevice),
                                                "MSG:T4215"}));
    EXPECT_TRUE(runs().empty());
    setenv("TUSAVE_HOME", dir_.c_str(), 1);
    const auto& files = st("FCS0101").toolFilesFcs;
    const std::string args = std::string(" -h ") + kDevice + " 1-1 ";
    auto expect_each = [&](const std::string& prefix, bool withCommand) {
        std::vector<std::string> want{"MSG:T4214"};
        for (const auto& f : files) want.push_back(prefix + (withCommand ? result_.toolPath + args : "") + f);
        want.push_back("MSG:T4215");
        EXPECT_EQ(lines, want);
    };
    // The tool ends with exit code 2 for every file.
    setenv("TUSAVE_FAILPOINTS", "shgsave=2", 1);
    EXPECT_EQ(run(), 0u);
    expect_each("WRN:T7219:dwRtn=0x2:", false);
    EXPECT_EQ(runs().size(), files.size());
    unsetenv("TUSAVE_FAILPOINTS");
    fs::remove(result_.toolPath);   // the tool does not start
    EXPECT_EQ(run(), 0u);
    expect_each("WRN:T7216:0x2:shgsave ", true);
}

class Shgsave : public WsTemp {
protected:
    void SetUp() override {
        WsTemp::SetUp();
        file = path("p/FCS0101/Custom/C1/FCS/a b.xseg");
        fs::create_directories(fs::path(file).parent_path());
        write(file, "custom");
        write(path("workstation.json"), R"({"backupDir": "bk"})");
    }
    void TearDown() override {
        unsetenv("TUSAVE_FAILPOINTS");
        WsTemp::TearDown();
    }
    // Exit status of one run, -1 when it did not run.
    static int run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{kTool};
        argv.insert(argv.end(), args.begin(), args.end());
        HANDLE p = nullptr;
        if (!CreateProcessV(kTool.c_str(), argv, &p)) return -1;
        DWORD code = 0;
        const bool ok = WaitForSingleObject(p, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(p, &code);
        CloseHandle(p);
        return ok ? static_cast<int>(code) : -1;
    }
    // The outcome field of the last log line.
    std::string outcome() const {
        std::ifstream in(path("log/shgsave.log"));
        std::string line, last;
        while (std::getline(in, line)) last = line;
        return last.substr(last.rfind('\t') + 1);
    }
    std::string file;
};

// The tool's own argument checks (a path outside the station's custom folders among them) and
// I/O errors: exit status, the outcome logged, nothing copied.
TEST_F(Shgsave, RefusedArgumentsAndIoErrorsCopyNothing) {
    const std::string dotted = path("p/FCS0101/Custom/../FCS/a b.xseg");
    const std::vector<std::vector<std::string>> usage = {
        {}, {"-x", "dev", "1-1", file}, {"-h", "", "1-1", file}, {"-h", "dev", "1-256", file},
        {"-h", "dev", "1", file}, {"-h", "dev", "1--1", file}, {"-h", "dev", "1-1", path("p/a.xseg")},
        {"-h", "dev", "1-1", dotted}, {"-h", "dev", "1-1", file, "extra"},
    };
    for (const auto& c : usage) {
        EXPECT_EQ(run(c), 2) << testing::PrintToString(c);
        EXPECT_EQ(outcome().rfind("usage error: ", 0), 0u) << outcome();
    }
    EXPECT_FALSE(fs::exists(path("bk")));
    EXPECT_EQ(run({"-h", "dev", "1-1", path("p/FCS0101/Custom/C1/FCS/none.xseg")}), 1);
    EXPECT_EQ(outcome(), "failed: cannot copy to " + path("bk/shgsave/1-1/C1/FCS/none.xseg") +
                             ": No such file or directory");
    setenv("TUSAVE_FAILPOINTS", "CopyFileA=28", 1);
    EXPECT_EQ(run({"-h", "dev", "1-1", file}), 1);
    unsetenv("TUSAVE_FAILPOINTS");
    EXPECT_FALSE(fs::exists(path("bk/shgsave/1-1/C1/FCS/a b.xseg")));
    write(path("workstation.json"), R"({"backupDir": "bk2"})");
    write(path("bk2"), "a file where the backup folder belongs");
    EXPECT_EQ(run({"-h", "dev", "1-1", file}), 1);
    EXPECT_EQ(outcome(), "failed: " + path("bk2/shgsave/1-1/C1/FCS") + ": Not a directory");
}

}  // namespace
