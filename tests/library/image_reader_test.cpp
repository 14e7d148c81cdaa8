// The image reader: conversion of station addresses, both forms, and the navigation helpers.
#include <gtest/gtest.h>

#include "LdTuSaveImage.h"
#include "image_fixture.h"

using imgtest::Image;
using imgtest::kBase;

TEST(ImageReader, BaseComesFromTheStationConstantTableAddress) {
    Image im = imgtest::Make();
    LdTuSaveImage img(im.bytes.data(), im.bytes.size());
    ASSERT_TRUE(img.BaseAdrs());
    EXPECT_EQ(*img.BaseAdrs(), kBase);

    im.U32(0x240, 0);
    EXPECT_FALSE(LdTuSaveImage(im.bytes.data(), im.bytes.size()).BaseAdrs());
    EXPECT_FALSE(LdTuSaveImage(im.bytes.data(), 0x243).BaseAdrs()) << "StnCnstTblAdrs cut by the end";
    EXPECT_FALSE(LdTuSaveImage(nullptr, 0x1000).BaseAdrs());
}

TEST(ImageReader, ConversionRejectsZeroBaseAndEverythingOutsideTheMirror) {
    Image im = imgtest::Make();
    LdTuSaveImage img(im.bytes.data(), im.bytes.size());
    const std::size_t n = im.bytes.size();
    const std::uint32_t end = Image::Adrs(n);

    EXPECT_EQ(img.ConvBase(kBase, kBase + 0x100), 0x300u);
    EXPECT_EQ(img.ConvBase(kBase, end - 1), n - 1);
    EXPECT_FALSE(img.ConvBase(kBase, 0));
    EXPECT_FALSE(img.ConvBase(kBase, kBase)) << "the station root table is never a reference";
    EXPECT_FALSE(img.ConvBase(kBase, end)) << "one past the end";
    EXPECT_FALSE(img.ConvBase(kBase, 0xFFFFFFFF));
    EXPECT_FALSE(img.ConvBase(kBase, kBase - 1)) << "would land in the file header";
    EXPECT_FALSE(img.ConvBase(kBase, kBase - 0x200)) << "would land at offset 0";
    EXPECT_FALSE(img.ConvBase(kBase, kBase - 0x201)) << "wraps below the image";

    // The table must fit as well as its first byte.
    EXPECT_EQ(img.ConvBase(kBase, end - 4, 4), n - 4);
    EXPECT_FALSE(img.ConvBase(kBase, end - 3, 4));
    EXPECT_FALSE(img.ConvBase(kBase, kBase + 0x100, SIZE_MAX)) << "a huge length does not overflow the check";
}

TEST(ImageReader, AreaRelativeFormSharesTheConversion) {
    Image im = imgtest::Make();
    LdTuSaveImage img(im.bytes.data(), im.bytes.size());
    const LdTuSaveAnchor area{im.area, Image::Adrs(im.area)};
    for (std::size_t off : {im.cnst, im.blkPtr, im.bldb, im.hdr[0], im.recs[2][2].off, im.bytes.size() - 1}) {
        EXPECT_EQ(img.Conv(area, Image::Adrs(off)), off);
        EXPECT_EQ(img.Conv(img.Base(), Image::Adrs(off)), off);
    }
    EXPECT_FALSE(img.Conv(area, 0));
    EXPECT_FALSE(img.Conv(area, kBase));
    EXPECT_FALSE(img.Conv(area, Image::Adrs(im.bytes.size())));
    EXPECT_FALSE(img.Conv(area, Image::Adrs(im.area) - (static_cast<std::uint32_t>(im.area) - 0x200) - 1))
        << "below the mirror through the area anchor";

    // Without a base (StnCnstTblAdrs 0) nothing converts, whatever the anchor.
    im.U32(0x240, 0);
    LdTuSaveImage broken(im.bytes.data(), im.bytes.size());
    EXPECT_FALSE(broken.Conv(area, Image::Adrs(im.cnst)));
    EXPECT_FALSE(broken.Follow(broken.Base(), 0x280));
}

TEST(ImageReader, NavigationStopsAtTheEndOfTheImage) {
    Image im = imgtest::Make(3);
    LdTuSaveImage img(im.bytes.data(), im.bytes.size());
    auto base = img.Base();

    EXPECT_EQ(img.BlockHeader(base, im.bldb, 2), im.hdr[1]);
    EXPECT_FALSE(img.BldbEntry(im.bldb, 0)) << "block numbers start at 1";
    EXPECT_FALSE(img.BldbEntry(im.bldb, 0xFFFFFFFF));
    auto rec = img.Record(base, im.hdr[2], 2);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->off, im.recs[2][2].off);
    EXPECT_EQ(rec->size, 0x40u);
    EXPECT_FALSE(img.Record(base, im.hdr[2], 0)) << "record address 0";
    EXPECT_FALSE(img.Record(base, im.hdr[2], 0xFFFFFFFF)) << "record table entry far past the end";

    // The last record of the image grows by one byte: it starts inside and ends outside.
    std::size_t last = im.hdr[2];
    im.U32(last + 0x3C + 16, 0x41);
    EXPECT_FALSE(img.Record(base, last, 2));

    EXPECT_FALSE(img.OffsetOf(im.bytes.data() + im.bytes.size()));
    std::uint8_t elsewhere[4] = {};
    EXPECT_FALSE(img.OffsetOf(elsewhere));
    EXPECT_EQ(img.OffsetOf(im.bytes.data() + 0x280), 0x280u);
    EXPECT_EQ(img.At(im.bytes.size()), nullptr);
}
