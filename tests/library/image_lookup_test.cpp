// The look-ups of the edit-file update over good, damaged and truncated images: every failure
// is its documented line, and nothing is read outside the buffer (run under ASan).
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "LdTuSaveDBRead.h"
#include "image_fixture.h"

using imgtest::Image;
using imgtest::kBase;
using imgtest::Lines;

namespace {

const std::string kNull = "ERR:LdTuSavesGetStnRootTblAdrs:StnCnstTblAdrs is NULL";
const std::string kArea = "ERR:LdTuSavesGetStnRootTblAdrs:AreaRootTbl1 is Invalid";
const std::string kBlkPtr = "ERR:LdTuSavesGetStnRootTblAdrs:BlockPtrTbl is Invalid";
const std::string kBldb = "ERR:LdTuSavesGetStnRootTblAdrs:BldbPtrTbl is Invalid";
const std::string kCnst = "ERR:LdTuSavesGetStnRootTblAdrs:AreaCnstTbl is Invalid";
const std::string kAnMsg = "ERR:LdTuSavesGetStnRootTblAdrs:pAnMsgData is Invalid";
const std::string kUaid = "ERR:LdTuSavesGetStnRootTblAdrs:pAnUaid is Invalid";
const std::string kRec = "ERR:LdTuSavesGetDBRecOffset:DBRec Pointer is Invalid";
std::string HdrLine(int n) { return "ERR:LdTuSavesGetDBBlockAdrs BlockHedaer is Invalid BlockNum=" + std::to_string(n); }

int RootTbl(Image& im, LdTuSavesRootTbl* rt) { return LdTuSavesGetStnRootTblAdrs(im.bytes.data(), im.size(), rt); }

}  // namespace

TEST(ImageLookup, RootTablesOfAGoodImage) {
    Image im = imgtest::Make(3, 5);
    Lines lines;
    LdTuSavesRootTbl rt;
    ASSERT_EQ(RootTbl(im, &rt), 1);
    EXPECT_TRUE(lines.v.empty());
    EXPECT_EQ(rt.dwBaseAdrs, kBase);
    EXPECT_EQ(rt.pBldbPtrTbl, im.p(im.bldb));
    EXPECT_EQ(rt.nMaxBlock, 3);
    EXPECT_EQ(rt.nAnMsgCnt, 5);
    EXPECT_EQ(LdTuSavesConvDBAdrs(im.bytes.data(), im.size(), Image::Adrs(im.hdr[1]), kBase), im.p(im.hdr[1]));
}

TEST(ImageLookup, NullStationConstantTableReadsNothingFurther) {
    Image im = imgtest::Make();
    im.U32(0x240, 0);
    Lines lines;
    LdTuSavesRootTbl rt;
    rt.dwBaseAdrs = 0xDEADBEEF;
    EXPECT_EQ(RootTbl(im, &rt), 0);
    EXPECT_EQ(lines.v, std::vector<std::string>{kNull});
    EXPECT_EQ(rt.dwBaseAdrs, 0xDEADBEEFu) << "the record is left as it was";
    EXPECT_EQ(rt.pBldbPtrTbl, nullptr);
}

TEST(ImageLookup, UaidArrayMustHoldTheCountReadUnsigned) {
    Image im = imgtest::Make(3, 2);
    im.U16(im.cnst + 0x4C, 0xFFFF);   // -1 as signed: 65535 entries, far more than the image holds
    Lines lines;
    LdTuSavesRootTbl rt;
    EXPECT_EQ(RootTbl(im, &rt), 0);
    EXPECT_EQ(lines.v, std::vector<std::string>{kUaid});
}

TEST(ImageLookup, BlockLookupBoundsAndMissingBlocks) {
    Image im = imgtest::Make(3, 2, {2});
    LdTuSavesRootTbl rt;
    ASSERT_EQ(RootTbl(im, &rt), 1);
    std::uint8_t* hdr = nullptr;
    {
        Lines lines;
        EXPECT_EQ(LdTuSavesGetDBBlockAdrs(im.bytes.data(), im.size(), &rt, 3, &hdr), 1) << "MaxBlock itself";
        EXPECT_EQ(hdr, im.p(im.hdr[2]));
        EXPECT_TRUE(lines.v.empty());
    }
    {
        Lines lines;
        EXPECT_EQ(LdTuSavesGetDBBlockAdrs(im.bytes.data(), im.size(), &rt, 4, &hdr), 0);
        EXPECT_EQ(lines.v, std::vector<std::string>{
                               "ERR:LdTuSavesGetDBBlockAdrs:BlockNum Over MaxBlock BlockNum=4, MaxBlock=3"});
    }
    {
        Lines lines;
        EXPECT_EQ(LdTuSavesGetDBBlockAdrs(im.bytes.data(), im.size(), &rt, 2, &hdr), 0) << "entry 0";
        EXPECT_EQ(hdr, nullptr);
        EXPECT_EQ(lines.v, std::vector<std::string>{HdrLine(2)});
    }
    {
        Lines lines;
        EXPECT_EQ(LdTuSavesGetDBBlockAdrs(im.bytes.data(), im.size(), &rt, 0, &hdr), 0) << "block 0 has no entry";
        EXPECT_EQ(lines.v, std::vector<std::string>{HdrLine(0)});
    }
    {
        // A negative MaxBlock    {
        // A negative MaxBlock passes the unsigned comparison; the entries beyond the image don't.
        LdTuSavesRootTbl neg = rt;
        neg.nMaxBlock = -1;
        Lines lines;
        EXPECT_EQ(LdTuSavesGetDBBlockAdrs(im.bytes.data(), im.size(), &neg, 60000, &hdr), 0);
        EXPECT_EQ(lines.v, std::vector<std::string>{HdrLine(60000)});
    }
}

// Good records: TruncatedAtEveryLength.
TEST(ImageLookup, DamagedRecordReferences) {
    Image im = imgtest::Make(3);
    LdTuSavesRootTbl rt;
    ASSERT_EQ(RootTbl(im, &rt), 1);
    std::uint8_t* rec = nullptr;
    std::uint32_t size = 0;
    const struct {
        const char* what;
        std::size_t hdrOff;
        std::uint32_t recNo;
        std::uint32_t adrs;   // written at the record's address when not 1
        std::uint32_t recSize;
    } bad[] = {
        {"address 0", im.hdr[0], 3, 1, 0},
        {"address B", im.hdr[0], 1, kBase, 0},
        {"starts inside, ends outside", im.hdr[0], 1, Image::Adrs(im.bytes.size() - 0x1F), 0},
        {"size overruns the image", im.hdr[2], 2, 1, 0x41},
        {"record table entry past the end", im.hdr[2], 0x10000000, 1, 0},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.what);
        Image dam = im;
        if (b.adrs != 1) dam.U32(b.hdrOff + 0x38 + 8 * b.recNo, b.adrs);
        if (b.recSize) dam.U32(b.hdrOff + 0x3C + 8 * b.recNo, b.recSize);
        Lines lines;
        size = 0x5A5A;
        EXPECT_EQ(LdTuSavesGetDBRecOffset(dam.bytes.data(), dam.size(), &rt, dam.p(b.hdrOff), b.recNo, &rec, &size), 0);
        EXPECT_EQ(rec, nullptr);
        EXPECT_EQ(size, 0x5A5Au) << "no size is handed out";
        EXPECT_EQ(lines.v, std::vector<std::string>{kRec});
    }
    {
        Lines lines;
        std::uint8_t outside[0x40] = {};
        EXPECT_EQ(LdTuSavesGetDBRecOffset(im.bytes.data(), im.size(), &rt, outside, 1, &rec, &size), 0)
            << "a header position that is not in the image";
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
        const std::string* line;
    };
    const Need root[] = {{0x244, &kNull},           {0x284, &kArea},           {im.area + 0x28, &kArea},
                         {im.blkPtr + 0x0C, &kBlkPtr}, {im.bldb + 4, &kBldb},   {im.cnst + 0x4E, &kCnst},
                         {im.anMsg + 0x24, &kAnMsg},   {im.uaid + 4, &kUaid}};
    for (std::size_t n = 0; n <= im.bytes.size(); ++n) {
        SCOPED_TRACE("length " + std::to_string(n));
        auto buf = std::make_unique<std::uint8_t[]>(n ? n : 1);
        std::copy(im.bytes.begin(), im.bytes.begin() + static_cast<std::ptrdiff_t>(n), buf.get());
        const std::uint32_t size = static_cast<std::uint32_t>(n);

        const std::string* expect = nullptr;
        for (const Need& r : root)
            if (!expect && r.end > n) expect = r.line;
        Lines lines;
        LdTuSavesRootTbl rt;
        int ok = LdTuSavesGetStnRootTblAdrs(buf.get(), size, &rt);
        if (expect) {
            EXPECT_EQ(ok, 0);
            EXPECT_EQ(lines.v, std::vector<std::string>{*expect});
            continue;
        }
        ASSERT_EQ(ok, 1);
        ASSERT_TRUE(lines.v.empty());
        for (int b = 1; b <= 3; ++b) {
            lines.v.clear();
            std::uint8_t* hdr = nullptr;
            const std::size_t h = im.hdr[b - 1];
            const bool fits = im.bldb + 4 * b <= n && h != 0 && h + 0x38 <= n;
            ASSERT_EQ(LdTuSavesGetDBBlockAdrs(buf.get(), size, &rt, static_cast<std::uint16_t>(b), &hdr), fits ? 1 : 0);
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
                ASSERT_EQ(LdTuSavesGetDBRecOffset(buf.get(), size, &rt, hdr, r, &pRec, &recSize), recFits ? 1 : 0);
                if (recFits) {
                    EXPECT_EQ(pRec, buf.get() + rec.off);
                    EXPECT_TRUE(lines.v.empty());
                } else {
                    EXPECT_EQ(lines.v, std::vector<std::string>{kRec});
                }
            }
        }
    }
}

// Random damage to the tables: every look-up either succeeds inside the buffer or gives
// exactly one line.
TEST(ImageLookup, DamagedImagesNeverReadOutside) {
    Image im0 = imgtest::Make(4, 3);
    std::mt19937 rng(20261206);
    const std::size_t n = im0.bytes.size();
    for (int iter = 0; iter < 400; ++iter) {
        Image im = im0;
        for (int k = 0; k < 4; ++k) {
            std::size_t at = 0x200 + (rng() % ((n - 0x200) / 4)) * 4;
            std::uint32_t v = rng() % 3 == 0 ? Image::Adrs(0x200 + rng() % (n - 0x200)) : static_cast<std::uint32_t>(rng());
            im.U32(at, v);
        }
        auto buf = std::make_unique<std::uint8_t[]>(n);
        std::copy(im.bytes.begin(), im.bytes.end(), buf.get());
        Lines lines;
        LdTuSavesRootTbl rt;
        if (!LdTuSavesGetStnRootTblAdrs(buf.get(), static_cast<std::uint32_t>(n), &rt)) {
            EXPECT_EQ(lines.v.size(), 1u);
            continue;
        }
        for (int b = 0; b <= 6; ++b) {
            lines.v.clear();
            std::uint8_t* hdr = nullptr;
            if (!LdTuSavesGetDBBlockAdrs(buf.get(), static_cast<std::uint32_t>(n), &rt, static_cast<std::uint16_t>(b), &hdr)) {
                EXPECT_EQ(lines.v.size(), 1u);
                continue;
            }
            ASSERT_GE(hdr, buf.get());
            ASSERT_LE(hdr + 0x38, buf.get() + n);
            for (std::uint32_t r = 0; r < 6; ++r) {
                lines.v.clear();
                std::uint8_t* rec = nullptr;
                std::uint32_t size = 0;
                if (LdTuSavesGetDBRecOffset(buf.get(), static_cast<std::uint32_t>(n), &rt, hdr, r, &rec, &size)) {
                    ASSERT_GE(rec, buf.get() + 0x200);
                    ASSERT_LE(static_cast<std::size_t>(rec - buf.get()) + size, n);
                } else {
                    EXPECT_EQ(lines.v, std::vector<std::string>{kRec});
                }
            }
        }
    }
}
