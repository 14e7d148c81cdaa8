// Value formatting of the TP file: one item definition and the bytes of its record, every
// element of the item formatted by its data type code, with its label.
//
// Input: u8 data type, u8 element size, u8 record number (0 to 7), u16 offset, u16 dim1,
// u16 dim2, u32 record size as the block header states it, then the record's bytes (the
// image ends with them).
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_home.h"
#include "tsinf.h"

namespace {

constexpr std::size_t kHdr = 0x300;            // block header
constexpr std::size_t kRec = 0x400;            // the record
constexpr std::uint32_t kBase = 0x00100000;    // B: station address of image offset 0x200
constexpr std::uint32_t kMaxElements = 256;

std::uint32_t Adrs(std::size_t off) { return kBase + static_cast<std::uint32_t>(off - 0x200); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    [[maybe_unused]] static const bool quiet = fuzzhome::quiet();
    constexpr std::size_t kHead = 14;
    if (size < kHead) return 0;
    ItemInf item{};
    item.dataType = data[0], item.size = data[1], item.recNo = data[2] & 7, item.saveFlag = 1, item.itemName = "ITEM";
    item.offset = tb::load_u16(data + 3), item.dim1 = tb::load_u16(data + 5), item.dim2 = tb::load_u16(data + 7);
    const std::uint32_t recSize = tb::load_u32(data + 9);
    const std::uint8_t noRecord = data[13];

    std::vector<std::uint8_t> image(kRec + (size - kHead), 0);
    std::copy(data + kHead, data + size, image.begin() + kRec);
    tb::store_u32(image.data() + 0x240, kBase + 0x100);
    tb::store_u32(image.data() + kHdr + 0x38 + 8 * item.recNo, noRecord == 0xFF ? 0 : Adrs(kRec));
    tb::store_u32(image.data() + kHdr + 0x3C + 8 * item.recNo, recSize);
    const LdTuSaveImage img(image.data(), image.size());

    fuzzhome::LeakCheck leaks;
    std::string value;
    const std::uint32_t d1 = item.dim1 == 0 ? 1 : item.dim1;
    const std::uint32_t d2 = item.dim2 == 0 ? 1 : item.dim2;
    const std::uint32_t n = std::min<std::uint32_t>(d1 * d2, kMaxElements);
    for (std::uint32_t k = 0; k < n; ++k) {
        if (LdTuSaveTpValue(img, img.Base(), kHdr, 1, item, k, value) != 0) break;
        LdTuSaveTpLabel(value, item.itemName, k / d2 + 1, item.dim2 ? k % d2 + 1 : 0);
    }
    return 0;
}
