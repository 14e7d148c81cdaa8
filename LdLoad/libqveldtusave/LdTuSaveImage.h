// The station database image: its layout and the one bounds-checked reader that every unit
// of the library uses to walk it.
//
// The image is the whole station database file. After a 512-byte file header it mirrors the
// station's memory from the base station address B on: image offset 0x200 is station
// address B, and address A lies at 0x200 + (A - B) (32-bit unsigned arithmetic). Tables refer
// to each other by station addresses, so a reference is converted before it is followed.
//
// Conversion is where a corrupted image is caught. An address of 0, the address B (the station
// root table itself, never a valid reference), and an address whose position, or any of the
// len bytes the caller means to use from there, would not lie inside the mirrored part of the
// image, all give nullopt alike. Field reads and writes at image offsets are checked as well.
//
//     const LdTuSaveImage img = inf->pDbImage.View();
//     auto area = img.Follow(img.Base(), LdTuSaveImg::kRootAreaRootTbl1, LdTuSaveImg::kAreaRootTblUsed);
//     auto blkPtr = area ? img.Follow(img.Base(), *area + LdTuSaveImg::kAreaRootBlockPtrTblPtr,
//                                     LdTuSaveImg::kBlockPtrTblUsed) : std::nullopt;
//
// The upload's area-relative form (position of AreaRootTbl1 + (A - station address of
// AreaRootTbl1)) is the same conversion with another anchor: LdTuSaveAnchor{areaOff, areaAdrs}.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "LdTuSaveBlockCodes.h"
#include "tusave_bytes.h"

static_assert(sizeof(std::size_t) >= 8, "offset arithmetic of the image reader assumes a 64-bit size_t");

// ---- layout ------------------------------------------------------------------------------
namespace LdTuSaveImg {

// Image map.
constexpr std::size_t kFileHeaderSize = 0x200;   // not part of the mirror; never read or changed
constexpr std::size_t kStnRootTbl = 0x200;       // station root table, station address B
constexpr std::size_t kStnRootTblSize = 0x100;
constexpr std::size_t kStnCnstTbl = 0x300;       // station constant table, B + 0x100
constexpr std::uint32_t kStnCnstTblDist = 0x100; // StnCnstTblAdrs - B

// Station root table (image offsets of its fields).
constexpr std::size_t kRootStnCnstTblAdrs = kStnRootTbl + 0x40;   // StnCnstTblAdrs
constexpr std::size_t kRootStnIoTbl = kStnRootTbl + 0x48;         // station-wide I/O table
constexpr std::size_t RootAreaRootTbl(unsigned area) { return kStnRootTbl + 0x78 + 8u * area; }
constexpr std::size_t kRootAreaRootTbl1 = RootAreaRootTbl(1);     // AreaRootTbl1
static_assert(kRootAreaRootTbl1 == 0x280);

// Station constant table (relative to kStnCnstTbl).
constexpr std::size_t kStnCnstHostNo2 = 0x28;     // u8, second number of the backup's "-h"
constexpr std::size_t kStnCnstHostNo1 = 0x29;     // u8, first number of the backup's "-h"
constexpr std::size_t kStnCnstIoA = 0x42;         // i16
constexpr std::size_t kStnCnstIoB = 0x44;         // i16
constexpr std::size_t kStnCnstIoBusType1 = 0x76;  // u16, 0 taken as 1
constexpr std::size_t kStnCnstIoBusType2 = 0x78;  // u16, 0 taken as 0xFFFF
constexpr std::size_t kStnCnstOpeMk10 = 0x84;     // u16 count
constexpr std::size_t kStnCnstOpeMk11 = 0xAC;     // u16 count
constexpr std::size_t kStnCnst1C8 = 0x1C8;        // u16
constexpr std::size_t kStnCnstOpeMk42 = 0x1E0;    // u16 count

// Station-wide I/O table.
constexpr std::size_t kStnIoNodeTbls = 0x80;      // 6 x u32, per bus and I/O bus type
constexpr std::size_t kStnIoTbl104 = 0x104;
constexpr std::size_t kStnIoTbl10C = 0x10C;
constexpr std::size_t kStnIoFolderNames = 0x214;  // 16 names of 8 characters
constexpr std::size_t kStnIoTbl248 = 0x248;

// Area root table.
constexpr std::size_t kAreaRootCnstTblPtr = 0x08;     // areaCnstTblPtr
constexpr std::size_t kAreaRootBlockPtrTblPtr = 0x0C; // blockPtrTblPtr
constexpr std::size_t kAreaRootAnMsgData = 0x24;      // pAnMsgData
constexpr std::size_t kAreaRootTblUsed = 0x28;        // bytes of the fields above
constexpr std::uint32_t kAreaCnstTblDist = 0x200;     // areaCnstTblPtr - station address of AreaRootTbl1

// Area constant table.
constexpr std::size_t kAreaCnstMaxBlock = 0x40;   // i16 MaxBlock
constexpr std::size_t kAreaCnstCount2 = 0x42;     // i16
constexpr std::size_t kAreaCnstAnMsgCnt = 0x4C;   // 16-bit nAnMsgCnt
constexpr std::size_t kAreaCnstTblUsed = 0x4E;

// Block pointer table.
constexpr std::size_t kBlockPtrBldbPtrTblPtr = 0x08;  // bldbPtrTblPtr
constexpr std::size_t kBlockPtrTblUsed = 0x0C;

// BldbPtrTbl: u32 station addresses of block headers, block n at entry n - 1.
constexpr std::size_t kBldbEntrySize = 4;

// Block header.
constexpr std::size_t kBlkHdrBlockNo = 0x00;   // i16
constexpr std::size_t kBlkHdrTagName = 0x04;   // char[16], NUL-padded, not always terminated
constexpr std::size_t kTagNameLen = 16;
constexpr std::size_t kBlkHdrBlockCode = 0x14; // u16
constexpr std::size_t kBlkHdrCategory = 0x23;  // u8
constexpr std::size_t kBlkHdrRecTbl = 0x38;    // per record: u32 station address, u32 size
constexpr std::size_t kBlkHdrRecEntrySize = 8;
constexpr std::size_t kBlkHdrFixedSize = kBlkHdrRecTbl;  // bytes before the record table
constexpr std::size_t BlkHdrRecAdrs(std::uint32_t recNo) { return kBlkHdrRecTbl + kBlkHdrRecEntrySize * recNo; }
constexpr std::size_t BlkHdrRecSize(std::uint32_t recNo) { return BlkHdrRecAdrs(recNo) + 4; }

// Block codes the save treats apart: LdTuSaveBlockCodes.h.

// Record.
constexpr std::size_t kRecBlockNo = 0x00;      // u16
constexpr std::size_t kRecRecNo = 0x03;        // u8
constexpr std::size_t kRecOyaBlockNo = 0xB2;   // u16, record 2 of block codes 5122, 6226, 6227

// AN message data table.
constexpr std::size_t kAnMsgTbl14 = 0x14;
constexpr std::size_t kAnMsgTbl18 = 0x18;
constexpr std::size_t kAnMsgUaid = 0x20;       // pAnUaid: nAnMsgCnt u16 UAIDs
constexpr std::size_t kAnMsgDataUsed = 0x24;
constexpr std::size_t kUaidSize = 2;

}  // namespace LdTuSaveImg

// A table whose image offset and station address are both known; conversions are made
// relative to it. The station root table is the anchor {0x200, B}.
struct LdTuSaveAnchor {
    std::size_t off = 0;
    std::uint32_t adrs = 0;
};

// A record as the record table of its block header names it: the station address and size of
// the entry (each missing when it lies outside the image) and, when the record lies inside the
// image, its image offset.
struct LdTuSaveRecPos {
    std::optional<std::uint32_t> adrs;
    std::optional<std::uint32_t> size;
    std::optional<std::size_t> off;
};

// The links of the walk from the station root table to the block header table of an area.
enum class LdTuSaveLink { kNone, kStnCnstTbl, kAreaRootTbl, kAreaCnstTbl, kBlockPtrTbl, kBldbPtrTbl };
// The name of a link as the lines of the library spell it ("AreaRootTbl1", "AreaCnstTbl", ...).
[[nodiscard]] const char* LdTuSaveLinkName(LdTuSaveLink link);

// How station addresses of an area's tables are converted: relative to B (the station form),
// to the station address of the area root table as stored in the station root table, or to
// areaCnstTblPtr - 0x200 (the two area-relative forms of the upload).
enum class LdTuSaveAreaForm { kStation, kAreaRootAdrs, kAreaCnstDist };

// What the area walk found. Each table is there only when its reference converted to a table
// wholly inside the image; bldb needs blockPtr, and everything needs root.
struct LdTuSaveArea {
    LdTuSaveAnchor anchor;                 // converts the station addresses of this area
    std::optional<std::size_t> root;       // area root table (kAreaRootTblUsed bytes)
    std::optional<std::size_t> cnst;       // AreaCnstTbl (kAreaCnstTblUsed bytes)
    std::optional<std::size_t> blockPtr;   // BlockPtrTbl (kBlockPtrTblUsed bytes)
    std::optional<std::size_t> bldb;       // BldbPtrTbl (at least one entry)
    std::int16_t maxBlock = 0;             // MaxBlock as stored (0 without AreaCnstTbl)
    std::size_t bldbEntries = 0;           // BldbPtrTbl entries the image holds from bldb on

    // The first broken link in walk order (station constant table, area root table,
    // AreaCnstTbl, BlockPtrTbl, BldbPtrTbl); kNone when every table is there.
    LdTuSaveLink failed = LdTuSaveLink::kNone;
    // MaxBlock bounded by the entries the image holds; 0 for a negative count.
    [[nodiscard]] std::size_t BlockCount() const;
};

class LdTuSaveBlocks;

class LdTuSaveImage {
public:
    LdTuSaveImage() = default;
    LdTuSaveImage(std::uint8_t* image, std::size_t size);
    explicit LdTuSaveImage(std::span<std::uint8_t> image) : LdTuSaveImage(image.data(), image.size()) {}

    [[nodiscard]] std::uint8_t* data() const { return data_; }
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] tb::MutBytes span() const { return {data_, size_}; }

    // ---- base and conversion -------------------------------------------------------------
    // StnCnstTblAdrs as stored (nullopt when the image is too short to hold it).
    [[nodiscard]] std::optional<std::uint32_t> StnCnstTblAdrs() const;
    // The station root table as anchor, {0x200, B}.
    // B = StnCnstTblAdrs - 0x100; nullopt when StnCnstTblAdrs is 0 or missing.
    [[nodiscard]] std::optional<std::uint32_t> BaseAdrs() const { return base_; }
    [[nodiscard]] LdTuSaveAnchor Base() const { return {LdTuSaveImg::kStnRootTbl, base_.value_or(0)}; }

    // Image offset of station address adrs, relative to anchor: anchor.off + (adrs - anchor.adrs)
    // in 32-bit arithmetic. nullopt for 0, for B, when B is unknown, and when
    // [offset, offset + max(len, 1)) is not inside the mirror [0x200, size).
    [[nodiscard]] std::optional<std::size_t> Conv(const LdTuSaveAnchor& anchor, std::uint32_t adrs, std::size_t len = 1) const;
    // The same with an explicit base B (anchor {0x200, base}), rejecting 0 and base.
    [[nodiscard]] std::optional<std::size_t> ConvBase(std::uint32_t base, std::uint32_t adrs, std::size_t len = 1) const;
    // Reads the station address at image offset fieldOff and converts it.
    [[nodiscard]] std::optional<std::size_t> Follow(const LdTuSaveAnchor& anchor, std::size_t fieldOff, std::size_t len = 1) const;

    // ---- navigation ------------------------------------------------------------------------
    // Offset of BldbPtrTbl entry blockNo - 1 (nullopt for block 0 or an entry outside the image).
    [[nodiscard]] std::optional<std::size_t> BldbEntry(std::size_t bldbOff, std::uint32_t blockNo) const;
    // Header of block blockNo through BldbPtrTbl at bldbOff; the header's fixed part
    // (kBlkHdrFixedSize bytes) lies inside the image. nullopt for an entry of 0 as well.
    [[nodiscard]] std::optional<std::size_t> BlockHeader(const LdTuSaveAnchor& anchor, std::size_t bldbOff,
                                           std::uint32_t blockNo) const;
    // Record recNo of the block header at hdrOff: the one look-up of a record. off is there when
    // the address converts (relative to anchor) and the record's first len bytes (len 0: its
    // whole size) lie inside the image.
    [[nodiscard]] LdTuSaveRecPos Record(const std::optional<LdTuSaveAnchor>& anchor, std::size_t hdrOff,
                                        std::uint32_t recNo, std::size_t len = 0) const;

    // The blocks of an area, in number order (below).
    [[nodiscard]] LdTuSaveBlocks Blocks(const LdTuSaveArea& area) const;
    [[nodiscard]] LdTuSaveBlocks Blocks(const LdTuSaveAnchor& anchor, std::size_t bldbOff, std::size_t count) const;

    // The walk station root table -> area root table of areaNo -> AreaCnstTbl (MaxBlock) ->
    // BlockPtrTbl -> BldbPtrTbl. Every table found is reported, so callers that check the
    // links in another order can still name the one they meet first.
    [[nodiscard]] LdTuSaveArea Area(unsigned areaNo = 1, LdTuSaveAreaForm form = LdTuSaveAreaForm::kStation) const;

    // ---- fields at image offsets -----------------------------------------------------------
    [[nodiscard]] bool Has(std::size_t off, std::size_t len) const { return tb::in_range(size_, off, len); }
    [[nodiscard]] std::optional<std::uint8_t> U8(std::size_t off) const { return tb::get_u8(cspan(), off); }
    [[nodiscard]] std::optional<std::uint16_t> U16(std::size_t off) const { return tb::get_u16(cspan(), off); }
    [[nodiscard]] std::optional<std::int16_t> I16(std::size_t off) const { return tb::get_i16(cspan(), off); }
    [[nodiscard]] std::optional<std::uint32_t> U32(std::size_t off) const { return tb::get_u32(cspan(), off); }
    [[nodiscard]] bool Read(std::size_t off, void* dst, std::size_t len) const { return tb::get_bytes(cspan(), off, dst, len); }
    [[nodiscard]] bool Write(std::size_t off, const void* src, std::size_t len) const { return tb::put_bytes(span(), off, src, len); }

    // ---- positions ---------------------------------------------------------------------------
    // Pointer to the byte at off, nullptr when off is outside the image.
    [[nodiscard]] std::uint8_t* At(std::size_t off) const { return off < size_ ? data_ + off : nullptr; }
    [[nodiscard]] std::uint8_t* At(const std::optional<std::size_t>& off) const { return off ? At(*off) : nullptr; }
    // Offset of a position inside the image, nullopt for any other pointer.
    [[nodiscard]] std::optional<std::size_t> OffsetOf(const std::uint8_t* p) const;

private:
    tb::Bytes cspan() const { return {data_, size_}; }

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::optional<std::uint32_t> base_;
};

// A block of an area: its number and its header (nullopt when the header's fixed part does not
// lie inside the image).
struct LdTuSaveBlock {
    std::uint32_t blockNo = 0;
    std::optional<std::size_t> hdr;
};

// The one walk over an area's block table: blocks 1 .. count whose BldbPtrTbl entry lies in the
// image and is not 0. Each entry is read when the walk reaches it.
class LdTuSaveBlocks {
public:
    LdTuSaveBlocks(const LdTuSaveImage& img, const LdTuSaveAnchor& anchor, std::size_t bldbOff, std::size_t count)
        : img_(img), anchor_(anchor), bldb_(bldbOff), count_(count) {}
    // The next block, or nullopt at the end.
    [[nodiscard]] std::optional<LdTuSaveBlock> Next() {
        while (next_ <= count_) {
            const auto blockNo = static_cast<std::uint32_t>(next_++);
            const auto entry = img_.BldbEntry(bldb_, blockNo);
            if (!entry || img_.U32(*entry).value_or(0) == 0) continue;
            return LdTuSaveBlock{blockNo, img_.BlockHeader(anchor_, bldb_, blockNo)};
        }
        return std::nullopt;
    }

private:
    const LdTuSaveImage& img_;
    LdTuSaveAnchor anchor_;
    std::size_t bldb_;
    std::size_t count_;
    std::size_t next_ = 1;
};

inline LdTuSaveBlocks LdTuSaveImage::Blocks(const LdTuSaveAnchor& anchor, std::size_t bldbOff, std::size_t count) const {
    return LdTuSaveBlocks(*this, anchor, bldbOff, count);
}
inline LdTuSaveBlocks LdTuSaveImage::Blocks(const LdTuSaveArea& area) const {
    return LdTuSaveBlocks(*this, area.anchor, area.bldb.value_or(0), area.bldb ? area.BlockCount() : 0);
}
