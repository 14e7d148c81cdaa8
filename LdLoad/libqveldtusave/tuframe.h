// Control-bus frames of the save session and the upload's item stream.
//
// Request frame (built in a zeroed buffer of kTuReqFrameSize bytes; the 32-byte prefix is in
// host order and never converted):
//    0 u32 frame sequence number    4 u16 0   6 u16 0   8 u32 0
//   12 u16 station number          14 10 bytes 0
//   24 u8  8                       25 3 bytes 0
//   28 u16 frame type (0x0603; 0x0683 for an APCS in test mode)
//   30 u16 body length in 16-bit words: (24 + parameter bytes) / 2
//   32 FcMnSaveHeader (24 bytes)   56 parameters, FcMnSavePara (8 bytes) each
// Reply frame (read into a receive buffer of kTuRcvBufSize bytes):
//    0 33 bytes not interpreted    33 u8 communication status (0 good, 22 busy)
//   34 6 bytes not interpreted     40 FcMnSaveHeader (24 bytes)
//   64 reply parameter (8 bytes) or upload data (up to 2012 bytes)
// FcMnSaveHeader:
//    2 u8 command   3 u8 sub-command   4 u8 area number   8 u16 result (replies)
//   12 u16 request serial   16 u32 session identifier
//   20 i16 parameter bytes (replies: data bytes)   22 u16 parameter count
// Upload item (FcMnSaveData header, then the data bytes):
//    0 u16 status (0 delivered)   4 u8 dataType   5 u8 record number   6 i16 block number
//    8 u16 first element   10 u16 number of elements   12 u32 data bytes that follow
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "libqvebc2fcs.h"
#include "tusave_bytes.h"

// ---- request frame -------------------------------------------------------------------------
constexpr int kTuReqFrameSize = 2060;
constexpr std::size_t kTuReqSeqOff = 0;
constexpr std::size_t kTuReqZero6Off = 6;
constexpr std::size_t kTuReqStnNoOff = 12;
constexpr std::size_t kTuReqEightOff = 24;
constexpr std::size_t kTuReqTypeOff = 28;
constexpr std::size_t kTuReqLenOff = 30;
constexpr std::size_t kTuReqHdrOff = 32;
constexpr std::size_t kTuReqParaOff = 56;
constexpr std::size_t kTuParaSize = sizeof(FcMnSavePara);
constexpr std::uint16_t kTuFrameType = 0x0603;
constexpr std::uint16_t kTuFrameTypeApcsTest = 0x0683;

// ---- reply frame ---------------------------------------------------------------------------
constexpr int kTuRcvBufSize = 2076;
constexpr std::size_t kTuRtnStatusOff = 33;
constexpr std::size_t kTuRtnHdrOff = 40;
constexpr std::size_t kTuRtnParaOff = 64;
constexpr std::size_t kTuRtnDataMax = kTuRcvBufSize - kTuRtnParaOff;   // 2012

constexpr std::uint8_t kTuStsGood = 0;
constexpr std::uint8_t kTuStsRbufBusy = 22;

// ---- FcMnSaveHeader ------------------------------------------------------------------------
constexpr std::size_t kSvHdrCmd = 2;
constexpr std::size_t kSvHdrSubCmd = 3;
constexpr std::size_t kSvHdrArea = 4;
constexpr std::size_t kSvHdrResult = 8;
constexpr std::size_t kSvHdrSerial = 12;
constexpr std::size_t kSvHdrSession = 16;
constexpr std::size_t kSvHdrParaBytes = 20;   // replies: data bytes (i16)
constexpr std::size_t kSvHdrParaCnt = 22;

constexpr std::uint8_t kSvCmdSession = 0x1F;
constexpr std::uint8_t kSvSubStart = 1;
constexpr std::uint8_t kSvSubEnd = 2;
constexpr std::uint8_t kSvCmdSave = 0x21;
constexpr std::uint8_t kSvCmdUpLoad = 0x24;
constexpr std::uint8_t kSvSubSave = 3;

constexpr std::uint16_t kSvRtnAskAgain = 0x9642;

// ---- FcMnSaveData (upload item header) -------------------------------------------------------
constexpr std::size_t kSvDataSize = sizeof(FcMnSaveData);
constexpr std::size_t kSvDataStatus = 0;
constexpr std::size_t kSvDataType = 4;
constexpr std::size_t kSvDataRecNo = 5;
constexpr std::size_t kSvDataBlockNo = 6;
constexpr std::size_t kSvDataFirst = 8;
constexpr std::size_t kSvDataCount = 10;
constexpr std::size_t kSvDataBytes = 12;
constexpr std::uint8_t FCMNDATATYPEBLK = 1;

static_assert(kTuReqHdrOff + sizeof(FcMnSaveHeader) == kTuReqParaOff);
static_assert(kTuRtnHdrOff + sizeof(FcMnSaveHeader) == kTuRtnParaOff);
static_assert(kTuReqParaOff + 8 * 80 <= static_cast<std::size_t>(kTuReqFrameSize), "80 parameters fit a frame");
static_assert(kSvHdrParaCnt + 2 == sizeof(FcMnSaveHeader));
static_assert(kSvDataBytes + 4 == kSvDataSize);
static_assert(kTuRtnDataMax == 2012);

// ---- the item stream -------------------------------------------------------------------------
// One item of the upload data, parsed once.
struct TuItem {
    std::size_t off = 0;       // offset of the item header in the upload data
    std::uint8_t* header = nullptr;
    std::uint16_t status = 0;
    std::uint8_t dataType = 0;
    std::uint8_t recNo = 0;
    std::int16_t blockNo = 0;
    std::uint16_t first = 0;
    std::uint16_t count = 0;
    std::uint32_t bytes = 0;   // data bytes announced by the header
    [[nodiscard]] std::uint8_t* data() const { return header + kSvDataSize; }
};

// Walks the items of an upload of total bytes: the header must lie inside the data before it
// is read, and an item's data before the cursor steps over it.
class TuItemCursor {
public:
    TuItemCursor(std::uint8_t* data, std::int32_t total)
        : data_(data), total_(total > 0 && data ? static_cast<std::size_t>(total) : 0) {}

    [[nodiscard]] bool AtEnd() const { return off_ == total_; }
    [[nodiscard]] std::size_t Offset() const { return off_; }
    // The header at the cursor, or nullptr when it does not lie wholly inside the data.
    [[nodiscard]] std::uint8_t* HeaderAt() const { return tb::in_range(total_, off_, kSvDataSize) ? data_ + off_ : nullptr; }
    // The item at the cursor, its header fields read now (convert the header before calling).
    [[nodiscard]] std::optional<TuItem> Item() const {
        std::uint8_t* h = HeaderAt();
        if (!h) return std::nullopt;
        const tb::Bytes all(data_, total_);
        auto u16 = [&](std::size_t f) { return tb::get_u16(all, off_ + f).value_or(0); };
        auto u8 = [&](std::size_t f) { return tb::get_u8(all, off_ + f).value_or(0); };
        return TuItem{off_, h, u16(kSvDataStatus), u8(kSvDataType), u8(kSvDataRecNo),
                      static_cast<std::int16_t>(u16(kSvDataBlockNo)), u16(kSvDataFirst), u16(kSvDataCount),
                      tb::get_u32(all, off_ + kSvDataBytes).value_or(0)};
    }
    // True when dataBytes bytes after the header lie inside the data.
    [[nodiscard]] bool HasData(const TuItem& item, std::size_t dataBytes) const {
        return tb::in_range(total_, item.off + kSvDataSize, dataBytes);
    }
    // Steps over the item's header and dataBytes bytes; false (cursor kept) when they are not there.
    [[nodiscard]] bool Next(const TuItem& item, std::size_t dataBytes) {
        if (!HasData(item, dataBytes)) return false;
        off_ = item.off + kSvDataSize + dataBytes;
        return true;
    }

private:
    std::uint8_t* data_;
    std::size_t total_;
    std::size_t off_ = 0;
};
