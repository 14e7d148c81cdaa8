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
