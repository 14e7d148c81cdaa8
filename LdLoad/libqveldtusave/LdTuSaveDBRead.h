// Station database image: the look-ups of the edit-file update, and the load and store steps
// (LdTuSaveCtrlDBRead, LdTuSaveCtrlDbWrite, declared with the other steps in LdTuSaveCtrl.h).
//
// The look-ups take the view of the image; a reference that is 0, equal to B, or leads to a
// table, field or record outside the image is reported as invalid. They report each failure
// as one "ERR:" line and return 1 for success, 0 for failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "LdTuSaveImage.h"

// What LdTuSavesGetStnRootTblAdrs finds for the edit-file update.
struct LdTuSavesRootTbl {
    std::uint32_t dwBaseAdrs = 0;          // B, the station address of image offset 0x200
    std::uint8_t* pBldbPtrTbl = nullptr;   // BldbPtrTbl
    std::int32_t nMaxBlock = 0;            // MaxBlock, sign-extended
    std::int16_t nAnMsgCnt = 0;            // number of AN messages
    std::uint8_t* pAnUaid = nullptr;       // the UAID array: nAnMsgCnt u16 values (as u16 count)
};

// Position of station address dwAdrs in the image of base dwBaseAdrs, or null (for 0, for the
// base itself, and when the len bytes from there would not lie inside the image).
[[nodiscard]] std::uint8_t* LdTuSavesConvDBAdrs(const LdTuSaveImage& img, std::uint32_t dwAdrs, std::uint32_t dwBaseAdrs,
                                  std::size_t len = 1);

[[nodiscard]] int LdTuSavesGetStnRootTblAdrs(const LdTuSaveImage& img, LdTuSavesRootTbl* pRootTbl);

// Header of block u16BlockNum (from 1); its fixed part lies inside the image.
[[nodiscard]] int LdTuSavesGetDBBlockAdrs(const LdTuSaveImage& img, const LdTuSavesRootTbl* pRootTbl,
                                          std::uint16_t u16BlockNum, std::uint8_t** ppBlockHeader);

// Record dwRecNo of the block header pBlockHeader and its size; the record lies inside the image.
[[nodiscard]] int LdTuSavesGetDBRecOffset(const LdTuSaveImage& img, const LdTuSavesRootTbl* pRootTbl,
                                          std::uint8_t* pBlockHeader, std::uint32_t dwRecNo, std::uint8_t** ppDBRec,
                                          std::uint32_t* pdwRecSize);

// True when the image holds its root tables and the walk to the control area's BldbPtrTbl is
// whole in each form the save converts its addresses in; else one "ERR:" line naming the
// broken table (or the short file) and path.
[[nodiscard]] bool LdTuSaveDBImageSound(const LdTuSaveImage& img, const std::string& path);
