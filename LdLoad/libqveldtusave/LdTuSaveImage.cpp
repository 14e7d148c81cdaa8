// The bounds-checked reader of the station database image.
#include "LdTuSaveImage.h"

#include <algorithm>

using namespace LdTuSaveImg;

namespace {

// The one conversion: anchorOff + (adrs - anchorAdrs), 32-bit, then the range check against
// the mirrored part of the image.
std::optional<std::size_t> LdTuSaveLocate(std::size_t size, std::size_t anchorOff, std::uint32_t anchorAdrs,
                                          std::uint32_t adrs, std::size_t len) {
    const std::uint32_t off = static_cast<std::uint32_t>(anchorOff) + (adrs - anchorAdrs);
    if (off < kFileHeaderSize || !tb::in_range(size, off, std::max<std::size_t>(len, 1))) return std::nullopt;
    return off;
}

}  // namespace

LdTuSaveImage::LdTuSaveImage(std::uint8_t* image, std::size_t size)
    : data_(image), size_(image ? size : 0) {
    if (auto cnst = StnCnstTblAdrs(); cnst && *cnst != 0) base_ = *cnst - kStnCnstTblDist;
}

std::optional<std::uint32_t> LdTuSaveImage::StnCnstTblAdrs() const { return U32(kRootStnCnstTblAdrs); }

std::optional<std::size_t> LdTuSaveImage::Conv(const LdTuSaveAnchor& anchor, std::uint32_t adrs,
                                               std::size_t len) const {
    if (!base_ || adrs == 0 || adrs == *base_) return std::nullopt;
    if (anchor.off >= size_) return std::nullopt;
    return LdTuSaveLocate(size_, anchor.off, anchor.adrs, adrs, len);
}

std::optional<std::size_t> LdTuSaveImage::ConvBase(std::uint32_t base, std::uint32_t adrs, std::size_t len) const {
    if (adrs == 0 || adrs == base) return std::nullopt;
    return LdTuSaveLocate(size_, kStnRootTbl, base, adrs, len);
}

std::optional<std::size_t> LdTuSaveImage::Follow(const LdTuSaveAnchor& anchor, std::size_t fieldOff,
                                                 std::size_t len) const {
    auto adrs = U32(fieldOff);
    if (!adrs) return std::nullopt;
    return Conv(anchor, *adrs, len);
}

std::optional<std::size_t> LdTuSaveImage::BldbEntry(std::size_t bldbOff, std::uint32_t blockNo) const {
    if (blockNo == 0 || bldbOff >= size_) return std::nullopt;
    const std::size_t off = bldbOff + kBldbEntrySize * (static_cast<std::size_t>(blockNo) - 1);
    if (!Has(off, kBldbEntrySize)) return std::nullopt;
    return off;
}

std::optional<std::size_t> LdTuSaveImage::BlockHeader(const LdTuSaveAnchor& anchor, std::size_t bldbOff,
                                                      std::uint32_t blockNo) const {
    auto entry = BldbEntry(bldbOff, blockNo);
    if (!entry) return std::nullopt;
    return Follow(anchor, *entry, kBlkHdrFixedSize);
}

LdTuSaveRecPos LdTuSaveImage::Record(const std::optional<LdTuSaveAnchor>& anchor, std::size_t hdrOff,
                                     std::uint32_t recNo, std::size_t len) const {
    LdTuSaveRecPos r;
    if (hdrOff >= size_) return r;
    r.adrs = U32(hdrOff + BlkHdrRecAdrs(recNo));
    r.size = U32(hdrOff + BlkHdrRecSize(recNo));
    if (!anchor || !r.adrs || (len == 0 && !r.size)) return r;
    r.off = Conv(*anchor, *r.adrs, len != 0 ? len : *r.size);
    return r;
}

const char* LdTuSaveLinkName(LdTuSaveLink link) {
    switch (link) {
    case LdTuSaveLink::kNone: return "";
    case LdTuSaveLink::kStnCnstTbl: return "StnCnstTblAdrs";
    case LdTuSaveLink::kAreaRootTbl: return "AreaRootTbl1";
    case LdTuSaveLink::kAreaCnstTbl: return "AreaCnstTbl";
    case LdTuSaveLink::kBlockPtrTbl: return "BlockPtrTbl";
    case LdTuSaveLink::kBldbPtrTbl: return "BldbPtrTbl";
    }
    return "";
}

std::size_t LdTuSaveArea::BlockCount() const {
    if (!bldb || maxBlock <= 0) return 0;
    return std::min(static_cast<std::size_t>(maxBlock), bldbEntries);
}

LdTuSaveArea LdTuSaveImage::Area(unsigned areaNo, LdTuSaveAreaForm form) const {
    LdTuSaveArea a;
    auto first = [&a](LdTuSaveLink link) {
        if (a.failed == LdTuSaveLink::kNone) a.failed = link;
    };
    if (!base_) {
        a.failed = LdTuSaveLink::kStnCnstTbl;
        return a;
    }
    const std::size_t field = RootAreaRootTbl(areaNo);
    a.root = Follow(Base(), field, kAreaRootTblUsed);
    if (!a.root) {
        a.failed = LdTuSaveLink::kAreaRootTbl;
        return a;
    }
    switch (form) {
    case LdTuSaveAreaForm::kStation: a.anchor = Base(); break;
    case LdTuSaveAreaForm::kAreaRootAdrs: a.anchor = {*a.root, *U32(field)}; break;
    case LdTuSaveAreaForm::kAreaCnstDist:
        a.anchor = {*a.root, *U32(*a.root + kAreaRootCnstTblPtr) - kAreaCnstTblDist};
        break;
    }
    a.cnst = Follow(a.anchor, *a.root + kAreaRootCnstTblPtr, kAreaCnstTblUsed);
    if (a.cnst) a.maxBlock = *I16(*a.cnst + kAreaCnstMaxBlock);
    else first(LdTuSaveLink::kAreaCnstTbl);
    a.blockPtr = Follow(a.anchor, *a.root + kAreaRootBlockPtrTblPtr, kBlockPtrTblUsed);
    if (a.blockPtr) a.bldb = Follow(a.anchor, *a.blockPtr + kBlockPtrBldbPtrTblPtr, kBldbEntrySize);
    else first(LdTuSaveLink::kBlockPtrTbl);
    if (a.bldb) a.bldbEntries = (size_ - *a.bldb) / kBldbEntrySize;
    else first(LdTuSaveLink::kBldbPtrTbl);
    return a;
}

std::optional<std::size_t> LdTuSaveImage::OffsetOf(const std::uint8_t* p) const {
    if (!p || !data_) return std::nullopt;
    const auto begin = reinterpret_cast<std::uintptr_t>(data_);
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    if (at < begin || at - begin >= size_) return std::nullopt;
    return static_cast<std::size_t>(at - begin);
}
