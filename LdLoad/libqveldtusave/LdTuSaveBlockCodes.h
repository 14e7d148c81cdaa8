// The block codes the save treats apart, named once for the image, the edit files and the TP file.
#pragma once

#include <cstdint>

namespace LdTuSaveImg {

constexpr std::uint16_t kBlkCodeChild1 = 0x1852;   // 6226: edit file and parent block number of its parent
constexpr std::uint16_t kBlkCodeChild2 = 0x1853;   // 6227: the same
constexpr std::uint16_t kBlkCodeNoCat1 = 0x187A;   // 6266: not saved with category 0
constexpr std::uint16_t kBlkCodeNoCat2 = 0x187B;   // 6267: the same
constexpr bool IsChildBlock(std::uint16_t code) { return code == kBlkCodeChild1 || code == kBlkCodeChild2; }
constexpr bool IsNoCatBlock(std::uint16_t code) { return code == kBlkCodeNoCat1 || code == kBlkCodeNoCat2; }

}  // namespace LdTuSaveImg
