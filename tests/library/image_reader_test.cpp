// The image reader: conversion of station addresses, both forms, and the navigation helpers.
#include <gtest/gtest.h>

#include "LdTuSaveImage.h"
#include "image_fixture.h"

using imgtest::Image;
using imgtest::kBase;

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

// The three forms of the area walk find the same tables; a missing AreaCnstTbl leaves the block
// table reachable. (Each broken link with its line: the load in ctrl_save_test, the area save in
// upload_block_test, the look-ups in image_lookup_test; MaxBlock bounded: upload_block_test.)
TEST(ImageReader, AreaWalkFormsAgreeAndAMissingConstantTableKeepsTheBlocks) {
    Image im = imgtest::Make(3);
    auto walk = [&im](LdTuSaveAreaForm form = LdTuSaveAreaForm::kStation) {
        return LdTuSaveImage(im.bytes.data(), im.bytes.size()).Area(1, form);
    };
    for (auto form : {LdTuSaveAreaForm::kStation, LdTuSaveAreaForm::kAreaRootAdrs, LdTuSaveAreaForm::kAreaCnstDist}) {
        LdTuSaveArea a = walk(form);
        EXPECT_EQ(a.failed, LdTuSaveLink::kNone);
        EXPECT_EQ(a.root, im.area);
        EXPECT_EQ(a.cnst, im.cnst);
        EXPECT_EQ(a.bldb, im.bldb);
        EXPECT_EQ(a.BlockCount(), 3u);
    }
    im.U32(im.area + 0x08, 0);
    LdTuSaveArea a = walk();
    EXPECT_EQ(a.failed, LdTuSaveLink::kAreaCnstTbl);
    EXPECT_FALSE(a.cnst);
    EXPECT_EQ(a.bldb, im.bldb);
    EXPECT_EQ(a.BlockCount(), 0u);
}
