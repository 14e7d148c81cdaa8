// Load and store of the station database image: every failure is one line and the step's
// code, nothing leaks, every file is closed, and a store that fails leaves the old file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "LdTuSaveCtrl.h"
#include "failpoint/failpoint.h"
#include "image_fixture.h"
#include "libqvecommon.h"
#include "port/port_host.h"
#include "libqvecommon/qvecommon_host.h"

namespace fs = std::filesystem;
using imgtest::Lines;

namespace {

std::vector<std::uint8_t> ReadAll(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& p, const std::vector<std::uint8_t>& v) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size()));
}

std::size_t OpenFds() {
    std::size_t n = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it) ++n;
    return n;
}

std::vector<std::string> DirNames(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class ImageLoadStore : public ::testing::Test {
protected:
    void SetUp() override {
        failpoint::reset();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / ("tusave-image-" + std::to_string(getpid()) + "-" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        port::set_string_table({{4107, "T4107"}, {7176, "T7176"}, {7178, "T7178"}, {7182, "T7182"},
                                {7183, "T7183"}, {7184, "T7184"}, {7204, "T7204"}});
        db_ = imgtest::Make(3, 2).bytes;
        std::copy_n("TUSFDB01", 8, db_.begin());
        user_ = {'{', '"', 'm', 'o', 'd', 'e', 'l', 's', '"', ':', '[', ']', '}'};
        dbPath_ = dir_ / "stndb.sfdata";
        userPath_ = dir_ / "userinst.json";
        WriteAll(dbPath_, db_);
        WriteAll(userPath_, user_);
        inf_.strDbFilePath = dbPath_.string();
        inf_.strUserInstPath = userPath_.string();
        allocs_ = ws::live_allocations();
        fds_ = OpenFds();
    }
    void TearDown() override {
        failpoint::reset();
        EXPECT_EQ(OpenFds(), fds_) << "a file was left open";
        if (inf_.pDbImage) __QVEEngFree(inf_.pDbImage, "test", __LINE__);
        if (inf_.pUserInst) __QVEEngFree(inf_.pUserInst, "test", __LINE__);
        EXPECT_EQ(ws::live_allocations(), allocs_);
        port::set_string_table({});
        fs::permissions(dir_, fs::perms::owner_all);
        fs::remove_all(dir_);
    }
    std::size_t NewAllocations() const { return ws::live_allocations() - allocs_; }

    fs::path dir_, dbPath_, userPath_;
    std::vector<std::uint8_t> db_, user_;
    LdTuSaveCtrlInf inf_;
    std::size_t allocs_ = 0, fds_ = 0;
};

}  // namespace

TEST_F(ImageLoadStore, LoadReadsBothFilesWhole) {
    Lines lines;
    ASSERT_EQ(LdTuSaveCtrlDBRead(&inf_), LDTUSAVE_OK);
    EXPECT_TRUE(lines.v.empty());
    ASSERT_NE(inf_.pDbImage, nullptr);
    EXPECT_EQ(inf_.dbImageSize, db_.size());
    EXPECT_EQ(ws::allocation_size(inf_.pDbImage), db_.size()) << "allocated at exactly the file size";
    EXPECT_EQ(std::vector<std::uint8_t>(inf_.pDbImage, inf_.pDbImage + inf_.dbImageSize), db_);
    ASSERT_NE(inf_.pUserInst, nullptr);
    EXPECT_EQ(ws::allocation_size(inf_.pUserInst), user_.size());
    EXPECT_EQ(std::vector<std::uint8_t>(inf_.pUserInst, inf_.pUserInst + user_.size()), user_);
    EXPECT_EQ(NewAllocations(), 2u);
}

TEST_F(ImageLoadStore, RoundTripLeavesTheFileByteForByte) {
    ASSERT_EQ(LdTuSaveCtrlDBRead(&inf_), LDTUSAVE_OK);
    Lines lines;
    ASSERT_EQ(LdTuSaveCtrlDbWrite(&inf_), LDTUSAVE_OK);
    EXPECT_TRUE(lines.v.empty());
    EXPECT_EQ(ReadAll(dbPath_), db_);
    EXPECT_EQ(DirNames(dir_), (std::vector<std::string>{"stndb.sfdata", "userinst.json"})) << "no temporary left";

    // A changed image is what the file then holds, at the same length.
    inf_.pDbImage[inf_.dbImageSize - 1] ^= 0xFF;
    inf_.pDbImage[0x300] ^= 0x5A;
    ASSERT_EQ(LdTuSaveCtrlDbWrite(&inf_), LDTUSAVE_OK);
    EXPECT_EQ(ReadAll(dbPath_), std::vector<std::uint8_t>(inf_.pDbImage, inf_.pDbImage + inf_.dbImageSize));
    EXPECT_NE(inf_.pDbImage, nullptr) << "the image stays for the later steps";
}

// The store neither creates a missing file nor writes a read-only one.
TEST_F(ImageLoadStore, StoreOfAMissingOrReadOnlyFileFailsAtTheOpen) {
    ASSERT_EQ(LdTuSaveCtrlDBRead(&inf_), LDTUSAVE_OK);
    inf_.pDbImage[0x300] ^= 0x5A;
    fs::permissions(dbPath_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    Lines lines;
    EXPECT_EQ(LdTuSaveCtrlDbWrite(&inf_), LDTUSAVE_E_DBWRITE);
    EXPECT_EQ(ReadAll(dbPath_), db_);
    fs::remove(dbPath_);
    EXPECT_EQ(LdTuSaveCtrlDbWrite(&inf_), LDTUSAVE_E_DBWRITE);
    EXPECT_EQ(lines.v, (std::vector<std::string>{"ERR:T7183 FileName = " + dbPath_.string() + ", nRtn = 13",
                                                 "ERR:T7183 FileName = " + dbPath_.string() + ", nRtn = 2"}));
    EXPECT_FALSE(fs::exists(dbPath_));
}

// Each call of the load failed once: its one line, the load's code, and the image kept
// only when the station database file was read completely (missing files: ctrl_save_test).
TEST_F(ImageLoadStore, EveryFailureOfTheLoad) {
    const std::string db = dbPath_.string(), u = userPath_.string();
    const struct {
        const char* fp;
        unsigned nth;
        long long result;
        std::string line;
        bool imageKept;
    } cases[] = {
        {"QVEEngCreateFile", 1, 77, "ERR:T7176 FileName=" + db + ", nRtn = 77", false},
        {"GetFileSize", 1, 13, "ERR:T7204 dwRtn = 13", false},
        {"__QVEEngMalloc", 1, 1, "ERR:T4107 dwSize = " + std::to_string(db_.size()), false},
        {"ReadFile", 1, 5, "ERR:T7178 dwRtn = 5", false},
        {"QVEEngCloseFile", 1, 9, "ERR:T7182 nRtn = 9", false},
        {"QVEEngCreateFile", 2, 77, "ERR:QVEEngCreateFile() Error FileName=" + u + ", nRtn = 77", true},
        {"GetFileSize", 2, 13, "ERR:GetFileSize() FileName = " + u + ", Error dwRtn = 13", true},
        {"__QVEEngMalloc", 2, 1, "ERR:T4107 dwSize = " + std::to_string(user_.size()), true},
        {"ReadFile", 2, 5, "ERR:ReadFile() Error FileName = " + u + " dwRtn = 5", true},
        {"QVEEngCloseFile", 2, 9, "ERR:QVEEngCloseFile() Error FileName = " + u + ", nRtn = 9", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fp) + "@" + std::to_string(c.nth));
        failpoint::reset();
        failpoint::arm(c.fp, c.result, c.nth);
        LdTuSaveCtrlInf inf;
        inf.strDbFilePath = inf_.strDbFilePath;
        inf.strUserInstPath = inf_.strUserInstPath;
        Lines lines;
        EXPECT_EQ(LdTuSaveCtrlDBRead(&inf), LDTUSAVE_E_DBREAD);
        EXPECT_EQ(lines.v, std::vector<std::string>{c.line});
        EXPECT_EQ(inf.pUserInst, nullptr);
        EXPECT_EQ(inf.pDbImage != nullptr, c.imageKept);
        EXPECT_EQ(inf.dbImageSize, c.imageKept ? db_.size() : 0u);
        EXPECT_EQ(NewAllocations(), c.imageKept ? 1u : 0u);
        EXPECT_EQ(OpenFds(), fds_) << "a file was left open";
        if (inf.pDbImage) __QVEEngFree(inf.pDbImage, "test", __LINE__);
    }
}

// A file that delivers fewer bytes than its size says (a file of the kernel's: size 4096,
// a few bytes of text) is a failed read, not an image with a tail of garbage.
TEST_F(ImageLoadStore, ShortReadFailsTheLoad) {
    const char* sysFile = "/sys/devices/system/cpu/online";
    struct stat st{};
    if (::stat(sysFile, &st) != 0 || st.st_size <= 0 || ReadAll(sysFile).size() >= static_cast<std::size_t>(st.st_size))
        GTEST_SKIP() << "no file that reads shorter than its size";
    {
        inf_.strDbFilePath = sysFile;
        Lines lines;
        EXPECT_EQ(LdTuSaveCtrlDBRead(&inf_), LDTUSAVE_E_DBREAD);
        EXPECT_EQ(lines.v, std::vector<std::string>{"ERR:T7178 dwRtn = 0"});
        EXPECT_EQ(inf_.pDbImage, nullptr);
        EXPECT_EQ(NewAllocations(), 0u);
    }
    {
        inf_.strDbFilePath = dbPath_.string();
        inf_.strUserInstPath = sysFile;
        Lines lines;
        EXPECT_EQ(LdTuSaveCtrlDBRead(&inf_), LDTUSAVE_E_DBREAD);
        EXPECT_EQ(lines.v, std::vector<std::string>{"ERR:ReadFile() Error FileName = " + std::string(sysFile) +
                                                    " dwRtn = 0"});
        EXPECT_EQ(inf_.pUserInst, nullptr);
        EXPECT_EQ(NewAllocations(), 1u) << "the image stays";
    }
}

// A store that fails at any point leaves the old file byte for byte and no temporary.
TEST_F(ImageLoadStore, FailedStoreLeavesTheOldFile) {
    const struct {
        const char* fp;
        long long result;
        std::string line;
    } cases[] = {
        {"QVEEngCreateFile", 77, "ERR:T7183 FileName = " + dbPath_.string() + ", nRtn = 77"},
        {"WriteFile", 28, "ERR:T7184 dwRtn = 28"},
        {"WriteFile.short", 100, "ERR:T7184 dwRtn = 0"},
        {"WriteFile.short", 0, "ERR:T7184 dwRtn = 0"},
        {"CloseHandle", 5, "ERR:T7182 nRtn = 5"},
    };
    ASSERT_EQ(LdTuSaveCtrlDBRead(&inf_), LDTUSAVE_OK);
    for (std::uint32_t i = 0x200; i < inf_.dbImageSize; ++i) inf_.pDbImage[i] ^= 0xA5;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fp) + "=" + std::to_string(c.result));
        failpoint::reset();
        failpoint::arm(c.fp, c.result);
        Lines lines;
        EXPECT_EQ(LdTuSaveCtrlDbWrite(&inf_), LDTUSAVE_E_DBWRITE);
        EXPECT_EQ(lines.v, std::vector<std::string>{c.line});
        EXPECT_EQ(ReadAll(dbPath_), db_);
        EXPECT_EQ(DirNames(dir_), (std::vector<std::string>{"stndb.sfdata", "userinst.json"}));
        EXPECT_EQ(OpenFds(), fds_) << "a file was left open";
    }
    failpoint::reset();
    Lines lines;
    EXPECT_EQ(LdTuSaveCtrlDbWrite(&inf_), LDTUSAVE_OK) << "the same store succeeds unhindered";
    EXPECT_EQ(ReadAll(dbPath_), std::vector<std::uint8_t>(inf_.pDbImage, inf_.pDbImage + inf_.dbImageSize));
}
