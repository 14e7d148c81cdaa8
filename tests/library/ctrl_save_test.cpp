// The save control driven through the export against a sample workstation.
#include <sys/stat.h>

#include "ctrl_fixture.h"
#include "project_files.h"
#include "tusave_bytes.h"

namespace ctrl_test {
namespace {

using Lines = std::vector<std::string>;

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A full save and a check-only one: progress, lines, traces, history, nothing loaded or written by the check.
TEST_F(CtrlSave, FullSaveAndCheckOnlySave) {
    build();
    const std::string trace = dir_ + "/trace.txt";
    setenv("TUSAVE_TRACE", trace.c_str(), 1);
    ASSERT_EQ(save("FCS0101", 2, 0), 0u);
    unsetenv("TUSAVE_TRACE");
    // Step traces go to their file, never among the lines; no wait cursor without automatic backup.
    for (const auto& l : lines) EXPECT_EQ(l.find("Start"), std::string::npos) << l;
    EXPECT_NE(file_bytes(trace).find("LdTuSaveCtrlFcsUnlock Start"), std::string::npos);
    EXPECT_EQ(cursorBegin_ + cursorEnd_, 0);
    EXPECT_EQ(progress(), (Lines{"PRG:00", "PRG:05", "PRG:10", "PRG:20", "PRG:30", "PRG:40", "PRG:70", "PRG:90",
                                 "PRG:100"}));
    EXPECT_EQ(lines[1], start_line("FCS0101"));
    EXPECT_TRUE(has_line("MSG:T7209"));
    EXPECT_TRUE(has_line("MSG:T7210"));
    EXPECT_EQ(queries_, 1);
    expect_closed(false);
    EXPECT_EQ(history(), (Lines{"start FCS0101", "end FCS0101"}));
    const std::string db = st("FCS0101").databasePath;
    const std::string before = file_bytes(db);
    struct stat sb{};
    ASSERT_EQ(stat(db.c_str(), &sb), 0);
    failpoint::arm("__QVEEngMalloc", 0, 1000000);  // counts allocations without failing them
    ASSERT_EQ(save("FCS0101", 2, 1), 0u);
    EXPECT_EQ(lines, (Lines{"PRG:00", start_line("FCS0101"), "MSG:T7209", "MSG:T7210", "PRG:05", "PRG:100",
                             end_line(false)}));
    EXPECT_EQ(failpoint::calls("__QVEEngMalloc"), 0u);
    struct stat sa{};
    ASSERT_EQ(stat(db.c_str(), &sa), 0);
    EXPECT_EQ(sa.st_ino, sb.st_ino);
    EXPECT_EQ(sa.st_mtim.tv_nsec, sb.st_mtim.tv_nsec);
    EXPECT_EQ(file_bytes(db), before);
    EXPECT_EQ(history(), (Lines{"start FCS0101", "end FCS0101", "start FCS0101", "end FCS0101"}));
}

// A station under test runs without the check whatever mode was passed; APCS keeps the check but
// saves in test mode; the wait cursor shows once, only with automatic backup (none: FullSaveAndCheckOnlySave).
// A failed test-mode query does not keep the previous save's answer.
TEST_F(CtrlSave, StationUnderTestApcsAndTheWaitCursor) {
    for (bool underTest : {true, false}) {
        SCOPED_TRACE(underTest);
        desc_.stations[0].underTest = underTest;
        desc_.stations[0].apcs = desc_.stations[0].autoBackup = !underTest;
        build();
        queries_ = cursorBegin_ = cursorEnd_ = 0;
        ASSERT_EQ(save("FCS0101", 2, underTest ? 5 : 0), 0u);
        EXPECT_EQ(queries_, underTest ? 0 : 1);
        EXPECT_EQ(has_line("MSG:T7209"), !underTest);
        EXPECT_EQ(has_line("MSG:T7210"), !underTest);
        EXPECT_EQ(progress().size(), 9u);
        EXPECT_EQ(g_testMode, 1);
        EXPECT_EQ(cursorBegin_, underTest ? 0 : 1);
        EXPECT_EQ(cursorEnd_, underTest ? 0 : 1);
        expect_closed(false);
    }
    queries_ = 0;
    failpoint::arm("QVEEdaCheckQVTestByName", 5);
    save("FCS0102", 2, 0);
    EXPECT_EQ(g_testMode, 0);
    EXPECT_EQ(queries_, 1);   // the check ran: FCS0102 is not under test
}

// Rejected arguments give the lock back (the station can be locked again), no history. (Locked by
// another holder: Cli; a refused unlock: FaultMatrix.)
TEST_F(CtrlSave, GenerationLock) {
    build();
    EXPECT_EQ(QVELdFcsTuningParmSave(nullptr, "P2", "DEMO", "FCS0101", 2, 0, 0), LDTUSAVE_E_ARGS);
    EXPECT_EQ(lines, (Lines{"PRG:00", start_line("FCS0101"), "PRG:100", end_line(true)}));
    EXPECT_EQ(save("FCS0101", 4, 0), LDTUSAVE_E_ARGS);   // kind and mode outside their ranges
    expect_closed(true);
    EXPECT_EQ(save("FCS0101", 2, 3), LDTUSAVE_E_ARGS);
    expect_closed(true);
    EXPECT_TRUE(history().empty());
    char info[16] = {};
    void* handle = nullptr;
    ASSERT_EQ(QVEEdaGenLockStation("DEMO", "FCS0101", 1, info, sizeof info, &handle), 0u);
    EXPECT_EQ(QVEEdaGenUnlockStation("DEMO", "FCS0101", handle), 0u);
}

TEST_F(CtrlSave, NonCurrentProjectIsSavedOnlyFromAStationUnderTest) {
    desc_.workstation.currentProject = "OTHER";
    desc_.stations[1].underTest = true;
    build();
    EXPECT_EQ(save("FCS0101", 2, 2), LDTUSAVE_E_INIT);
    EXPECT_TRUE(has_line("ERR:T7221:DEMO:FCS0101"));
    expect_closed(true);
    EXPECT_EQ(save("FCS0102", 2, 0), 0u);
    expect_closed(false);
    // With the test flag of the workstation, the current project is refused.
    desc_.workstation.currentProject = "DEMO";
    desc_.workstation.vrecTest = true;
    build();
    EXPECT_EQ(save("FCS0101", 2, 2), LDTUSAVE_E_INIT);
    EXPECT_TRUE(has_line("ERR:T7220"));
    ASSERT_FALSE(history().empty());
    EXPECT_EQ(history().back(), "abort FCS0101");
}

TEST_F(CtrlSave, EqualizationProjectUsesTheEqlzVariantsAndWritesNoHistory) {
    build();
    // The equalization project: a copy of the project in its EQLZ folder.
    const fs::path top = result_.projectDir;
    const fs::path eq = top / "EQLZ";
    fs::create_directories(eq);
    for (const auto& e : fs::directory_iterator(top))
        if (e.path().filename() != "EQLZ") fs::copy(e.path(), eq / e.path().filename(), fs::copy_options::recursive);
    failpoint::arm("CQVERXEdaSysObj::Init", 1, 1000000);
    failpoint::arm("CQVERXEdaSysObj::InitEqlz", 1, 1000000);
    EXPECT_EQ(save("FCS0101", 3, 2), 0u);
    EXPECT_GE(failpoint::calls("CQVERXEdaSysObj::InitEqlz"), 1u);
    EXPECT_EQ(failpoint::calls("CQVERXEdaSysObj::Init"), 0u);
    EXPECT_TRUE(history().empty());
    expect_closed(false);
}

TEST_F(CtrlSave, DatabaseFileOfAnotherStationIsRefusedByTheCheck) {
    build();
    const std::string db = st("FCS0101").databasePath;
    fs::copy_file(st("FCS0102").databasePath, db, fs::copy_options::overwrite_existing);
    const std::string before = file_bytes(db);
    EXPECT_EQ(save("FCS0101", 2, 0), LDTUSAVE_E_UPLOAD);
    EXPECT_TRUE(has_line("ERR:LdCheckGenTime(): the station database file " + db +
                         " is of station 2, not of the station saved (1)"));
    EXPECT_EQ(queries_, 0);
    EXPECT_EQ(file_bytes(db), before);
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
    const std::string good = file_bytes(db);
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
            EXPECT_EQ(rc, LDTUSAVE_E_DBREAD);
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
    EXPECT_EQ(save("FCS0102", 2, 2), LDTUSAVE_E_INIT);
    EXPECT_TRUE(has_line("ERR::DEMO:FCS0102"));
    desc_.workstation.currentProject = "DEMO";
    build();
    fs::remove(st("FCS0101").databasePath);
    EXPECT_EQ(save("FCS0101", 2, 2), LDTUSAVE_E_STNFILE);
    EXPECT_EQ(lines, (Lines{"PRG:00", start_line("FCS0101"), "PRG:100", end_line(true)}));
}

}  // namespace
}  // namespace ctrl_test
