// The station database image: a short read, a store that may not create or write its file and
// one that fails on its way (its lines and the old file), the reader's conversions, and the look-ups
// of the edit-file update over good, damaged and truncated images (run under ASan).
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "LdTuSaveCtrl.h"
#include "LdTuSaveDBRead.h"
#include "LdTuSaveImage.h"
#include "home_fixture.h"
#include "image_fixture.h"
#include "failpoint/failpoint.h"
#include "libqvecommon.h"

namespace fs = std::filesystem;
using imgtest::Image;
using imgtest::kBase;
using imgtest::Lines;
using project_files::read_file;
using imgtest::write_bytes;
namespace {

std::size_t OpenFds() {
    std::size_t n = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it) ++n;
    return n;
}

class ImageLoadStore : public hometest::HomeTest {
protected:
    void SetUp() override {
        SetUpHome({{4107, "T4107"}, {7176, "T7176"}, {7178, "T7178"}, {7182, "T7182"}, {7183, "T7183"},
                   {7184, "T7184"}, {7204, "T7204"}});
        db_ = imgtest::Make(3, 2).bytes;
        std::copy_n("TUSFDB01", 8, db_.begin());
        user_ = {'{', '"', 'm', 'o', 'd', 'e', 'l', 's', '"', ':', '[', ']', '}'};
        dbPath_ = dir_ + "/stndb.sfdata";
        userPath_ = dir_ + "/userinst.json";
        write_bytes(dbPath_, db_);
        write_bytes(userPath_, user_);
        inf_.strDbFilePath = dbPath_;
        inf_.strUserInstPath = userPath_;
        allocs_ = ws::live_allocations();
        fds_ = OpenFds();
    }
    void TearDown() override {
        EXPECT_EQ(OpenFds(), fds_) << "a file was left open";
        inf_.pDbImage.Reset();
        inf_.pUserInst.Reset();
        EXPECT_EQ(ws::live_allocations(), allocs_);
        HomeTest::TearDown();
    }
    std::size_t NewAllocations() const { return ws::live_allocations() - allocs_; }
    std::string dbPath_, userPath_;
    std::vector<std::uint8_t> db_, user_;
    LdTuSaveCtrlInf inf_;
    std::size_t allocs_ = 0, fds_ = 0;
};

}  // namespace

// A store that fails at the open (a read-only file too), the write, a short write or the close: its
// line and code, the old file, no temporary, no handle; the same store then succeeds. A missing file
// is not created.
TEST_F(ImageLoadStore, FailedStoreLeavesTheOldFile) {
    auto arm = [](const char* fp, long long v) { return [=] { failpoint::arm(fp, v); }; };
    const struct {
        std::function<void()> fail;
        std::string line;
    } cases[] = {
        {arm("QVEEngCreateFile", 77), "ERR:T7183 FileName = " + dbPath_ + ", nRtn = 77"},
        {[&] { fs::permissions(dbPath_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read); },
         "ERR:T7183 FileName = " + dbPath_ + ", nRtn = 13"},
        {arm("WriteFile", 28), "ERR:T7184 dwRtn = 28"}, {arm("WriteFile.short", 100), "ERR:T7184 dwRtn = 0"},
        {arm("WriteFile.short", 0), "ERR:T7184 dwRtn = 0"}, {arm("CloseHandle", 5), "ERR:T7182 nRtn = 5"},
    };
    ASSERT_EQ(LdTuSaveCtrlDBRead(&inf_), TUSAVE_OK);
    for (std::size_t i = 0x200; i < inf_.pDbImage.size(); ++i) inf_.pDbImage.data()[i] ^= 0xA5;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        failpoint::reset();
        fs::permissions(dbPath_, fs::perms::owner_read | fs::perms::owner_write);
        c.fail();
        lines.clear();
        EXPECT_EQ(LdTuSaveCtrlDbWrite(&inf_), TUSAVE_E_DBWRITE);
        EXPECT_EQ(lines, std::vector<std::string>{c.line});
        EXPECT_EQ(read_file(dbPath_), db_);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2) << "a temporary was left";
        EXPECT_EQ(OpenFds(), fds_) << "a file was left open";
    }
    failpoint::reset();
    fs::permissions(dbPath_, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(LdTuSaveCtrlDbWrite(&inf_), TUSAVE_OK);
    EXPECT_EQ(read_file(dbPath_), std::vector<std::uint8_t>(inf_.pDbImage.data(), inf_.pDbImage.data() + inf_.pDbImage.size()));
    fs::remove(dbPath_);
    lines.clear();
    EXPECT_EQ(LdTuSaveCtrlDbWrite(&inf_), TUSAVE_E_DBWRITE);
    EXPECT_EQ(lines, std::vector<std::string>{"ERR:T7183 FileName = " + dbPath_ + ", nRtn = 2"});
    EXPECT_FALSE(fs::exists(dbPath_));
}

// A file that delivers fewer bytes than its size says (a file of the kernel's: size 4096,
// a few bytes of text) is a failed read, not an image with a tail of garbage.
TEST_F(ImageLoadStore, ShortReadFailsTheLoad) {
    const char* sysFile = "/sys/devices/system/cpu/online";
    struct stat st{};
    if (::stat(sysFile, &st) != 0 || st.st_size <= 0 || read_file(sysFile).size() >= static_cast<std::size_t>(st.st_size))
        GTEST_SKIP() << "no file that reads shorter than its size";
    for (bool user : {false, true}) {
        inf_.strDbFilePath = user ? dbPath_ : sysFile;
        inf_.strUserInstPath = user ? sysFile : userPath_;
        lines.clear();
        EXPECT_EQ(LdTuSaveCtrlDBRead(&inf_), TUSAVE_E_DBREAD);
        const std::string line = user ? "ERR:ReadFile() Error FileName = " + std::string(sysFile) + " dwRtn = 0" : "ERR:T7178 dwRtn = 0";
        EXPECT_EQ(lines, std::vector<std::string>{line});
        EXPECT_EQ(user ? inf_.pUserInst.data() : inf_.pDbImage.data(), nullptr);
        EXPECT_EQ(NewAllocations(), user ? 1u : 0u) << "the image stays";
    }
}

namespace {

// The root table line of a table that is missing or does not fit.
std::string RootLine(std::string t) {
    return "ERR:LdTuSavesGetStnRootTblAdrs:" + t + (t == "StnCnstTblAdrs" ? " is NULL" : " is Invalid");
}
const std::string kRec = "ERR:LdTuSavesGetDBRecOffset:DBRec Pointer is Invalid";
std::string HdrLine(int n) { return "ERR:LdTuSavesGetDBBlockAdrs BlockHedaer is Invalid BlockNum=" + std::to_string(n); }

int RootTbl(Image& im, LdTuSavesRootTbl* rt) { return LdTuSavesGetStnRootTblAdrs(LdTuSaveImage(im.bytes.data(), im.size()), rt); }

}  // namespace

// MaxBlock itself, one past it, an entry 0, block 0, and a negative MaxBlock (it passes the
// unsigned comparison; the entries beyond the image don't).
TEST(ImageLookup, BlockLookupBoundsAndMissingBlocks) {
    Image im = imgtest::Make(3, 2, {2});
    LdTuSavesRootTbl rt;
    ASSERT_EQ(RootTbl(im, &rt), 1);
    const struct {
        int maxBlock;
        std::uint16_t no;
        std::string line;   // empty: found
    } cases[] = {{3, 3, ""},
                 {3, 4, "ERR:LdTuSavesGetDBBlockAdrs:BlockNum Over MaxBlock BlockNum=4, MaxBlock=3"},
                 {3, 2, HdrLine(2)}, {3, 0, HdrLine(0)}, {-1, 60000, HdrLine(60000)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.no);
        LdTuSavesRootTbl r = rt;
        r.nMaxBlock = c.maxBlock;
        std::uint8_t* hdr = im.p(0);
        Lines lines;
        EXPECT_EQ(LdTuSavesGetDBBlockAdrs(LdTuSaveImage(im.bytes.data(), im.size()), &r, c.no, &hdr), c.line.empty() ? 1 : 0);
        EXPECT_TRUE((!c.line.empty() || hdr == im.p(im.hdr[2])) && (c.no != 2 || hdr == nullptr));
        EXPECT_EQ(lines.v, c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
    }
    // A record number far past the table, a header outside the image (records cut or absent:
    // TruncatedAtEveryLength): no record, no size handed out.
    std::uint8_t outside[0x40] = {};
    for (auto [hdr, recNo] : {std::pair{im.p(im.hdr[2]), 0x10000000u}, {outside, 1u}}) {
        Lines lines;
        std::uint8_t* rec = nullptr;
        std::uint32_t size = 0x5A5A;
        EXPECT_EQ(LdTuSavesGetDBRecOffset(LdTuSaveImage(im.bytes.data(), im.size()), &rt, hdr, recNo, &rec, &size), 0);
        EXPECT_TRUE(rec == nullptr && size == 0x5A5Au);
        EXPECT_EQ(lines.v, std::vector<std::string>{kRec});
    }
}

// Cut the image after every byte (into a buffer of exactly that size, so that ASan sees any
// overrun) and walk everything: the first table, entry, header or record that no longer fits
// gives its line, and nothing else does.
TEST(ImageLookup, TruncatedAtEveryLength) {
    Image im = imgtest::Make(3, 2, {2});
    struct Need {
        std::size_t end;
        const char* table;
    };
    const Need root[] = {{0x244, "StnCnstTblAdrs"},     {0x284, "AreaRootTbl1"},  {im.area + 0x28, "AreaRootTbl1"},
                         {im.blkPtr + 0x0C, "BlockPtrTbl"}, {im.bldb + 4, "BldbPtrTbl"}, {im.cnst + 0x4E, "AreaCnstTbl"},
                         {im.anMsg + 0x24, "pAnMsgData"},   {im.uaid + 4, "pAnUaid"}};
    for (std::size_t n = 0; n <= im.bytes.size(); ++n) {
        SCOPED_TRACE("length " + std::to_string(n));
        auto buf = std::make_unique<std::uint8_t[]>(n ? n : 1);
        std::copy(im.bytes.begin(), im.bytes.begin() + static_cast<std::ptrdiff_t>(n), buf.get());
        const std::uint32_t size = static_cast<std::uint32_t>(n);
        const char* expect = nullptr;
        for (const Need& r : root)
            if (!expect && r.end > n) expect = r.table;
        Lines lines;
        LdTuSavesRootTbl rt;
        int ok = LdTuSavesGetStnRootTblAdrs(LdTuSaveImage(buf.get(), size), &rt);
        if (expect) {
            EXPECT_EQ(ok, 0);
            EXPECT_EQ(lines.v, std::vector<std::string>{RootLine(expect)});
            continue;
        }
        ASSERT_EQ(ok, 1);
        ASSERT_TRUE(lines.v.empty());
        for (int b = 1; b <= 3; ++b) {
            lines.v.clear();
            std::uint8_t* hdr = nullptr;
            const std::size_t h = im.hdr[b - 1];
            const bool fits = im.bldb + 4 * b <= n && h != 0 && h + 0x38 <= n;
            ASSERT_EQ(LdTuSavesGetDBBlockAdrs(LdTuSaveImage(buf.get(), size), &rt, static_cast<std::uint16_t>(b), &hdr), fits ? 1 : 0);
            if (!fits) {
                EXPECT_EQ(lines.v, std::vector<std::string>{HdrLine(b)});
                continue;
            }
            EXPECT_EQ(hdr, buf.get() + h);
            for (std::uint32_t r = 0; r < 4; ++r) {
                lines.v.clear();
                const imgtest::Rec& rec = im.recs[b - 1][r];
                const bool recFits = h + 0x40 + 8 * r <= n && rec.off != 0 && rec.off + rec.size <= n;
                std::uint8_t* pRec = nullptr;
                std::uint32_t recSize = 0;
                ASSERT_EQ(LdTuSavesGetDBRecOffset(LdTuSaveImage(buf.get(), size), &rt, hdr, r, &pRec, &recSize), recFits ? 1 : 0);
                EXPECT_TRUE(!recFits || pRec == buf.get() + rec.off);
                EXPECT_EQ(lines.v, recFits ? std::vector<std::string>{} : std::vector<std::string>{kRec});
            }
        }
    }
}

// What the look-ups cannot reach: a missing image and lengths no caller passes today.
TEST(ImageReader, ConversionRefusesNoImageHugeLengthsAndEscapesThroughTheAreaAnchor) {
    EXPECT_FALSE(LdTuSaveImage(nullptr, 0x1000).BaseAdrs());
    Image im = imgtest::Make();
    LdTuSaveImage img(im.bytes.data(), im.bytes.size());
    const std::uint32_t end = Image::Adrs(im.bytes.size());
    EXPECT_EQ(img.ConvBase(kBase, end - 4, 4), im.bytes.size() - 4);
    EXPECT_FALSE(img.ConvBase(kBase, end - 3, 4));
    EXPECT_FALSE(img.ConvBase(kBase, kBase + 0x100, SIZE_MAX)) << "a huge length does not overflow the check";
    // B itself, an address in the file header, one that wraps below the image, one ending outside.
    for (std::uint32_t bad : {kBase, kBase - 1, kBase - 0x201, end - 0x27}) {
        Image dam = im;
        dam.U32(0x280, bad);
        EXPECT_FALSE(LdTuSaveImage(dam.bytes.data(), dam.bytes.size()).Follow({0x200, kBase}, 0x280, 0x28))
            << std::hex << bad;
    }
    const LdTuSaveAnchor area{im.area, Image::Adrs(im.area)};
    for (std::size_t off : {im.cnst, im.hdr[0], im.recs[2][2].off, im.bytes.size() - 1})
        EXPECT_EQ(img.Conv(area, Image::Adrs(off)), off);
    EXPECT_FALSE(img.Conv(area, Image::Adrs(im.area) - (static_cast<std::uint32_t>(im.area) - 0x200) - 1))
        << "below the mirror through the area anchor";
    // Without a base (StnCnstTblAdrs 0) nothing converts, whatever the anchor.
    im.U32(0x240, 0);
    LdTuSaveImage broken(im.bytes.data(), im.bytes.size());
    EXPECT_FALSE(broken.Conv(area, Image::Adrs(im.cnst)));
}
