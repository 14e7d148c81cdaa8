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

TEST_F(ImageLoadStore, MissingStationDatabaseFileAllocatesNothing) {
    fs::remove(dbPath_);
    Lines lines;
    EXPECT_EQ(LdTuSaveCtrlDBRead(&inf_), LDTUSAVE_E_DBREAD);
    ASSERT_EQ(lines.v.size(), 1u);
    EXPECT_EQ(lines.v[0].rfind("ERR:T7176 FileName=" + dbPath_.string() + ", nRtn = ", 0), 0u) << lines.v[0];
    EXPECT_EQ(inf_.pDbImage, nullptr);
    EXPECT_EQ(inf_.dbImageSize, 0u);
    EXPECT_EQ(inf_.pUserInst, nullptr);
    EXPECT_EQ(NewAllocations(), 0u);
}

TEST_F(ImageLoadStore, MissingUserInstanceFileKeepsTheImage) {
    fs::remove(userPath_);
    Lines lines;
    EXPECT_EQ(LdTuSaveCtrlDBRead(&inf_), LDTUSAVE_E_DBREAD);
    ASSERT_EQ(lines.v.size(), 1u);
    EXPECT_EQ(lines.v[0].rfind("ERR:QVEEngCreateFile() Error FileName=" + userPath_.string() + ", nRtn = ", 0), 0u)
        << lines.v[0];
    ASSERT_NE(inf_.pDbImage, nullptr) << "kept for end processing";
    EXPECT_EQ(inf_.dbImageSize, db_.size());
    EXPECT_EQ(inf_.pUserInst, nullptr);
    EXPECT_EQ(NewAllocations(), 1u);
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

TEST_F(ImageLoadStore, StoreOfAMissingFileFailsAtTheOpen) {
    ASSERT_EQ(LdTuSaveCtrlDBRead(&inf_), LDTUSAVE_OK);
    fs::remove(dbPath_);
    Lines lines;
    EXPECT_EQ(LdTuSaveCtrlDbWrite(&inf_), LDTUSAVE_E_DBWRITE);
    ASSERT_EQ(lines.v.size(), 1u);
    EXPECT_EQ(lines.v[0].rfind("ERR:T7183 FileName = " + dbPath_.string() + ", nRtn = ", 0), 0u) << lines.v[0];
    EXPECT_FALSE(fs::exists(dbPath_)) << "the store does not create the file";
}

TEST_F(ImageLoadStore, StoreOfAReadOnlyFileFailsAtTheOpen) {
    ASSERT_EQ(LdTuSaveCtrlDBRead(&inf_), LDTUSAVE_OK);
    fs::permissions(dbPath_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    inf_.pDbImage[0x300] ^= 0x5A;
    Lines lines;
    EXPECT_EQ(LdTuSaveCtrlDbWrite(&inf_), LDTUSAVE_E_DBWRITE);
    ASSERT_EQ(lines.v.size(), 1u);
    EXPECT_EQ(lines.v[0].rfind("ERR:T7183 FileName = " + dbPath_.string() + ", nRtn = ", 0), 0u) << lines.v[0];
    EXPECT_EQ(ReadAll(dbPath_), db_);
}
