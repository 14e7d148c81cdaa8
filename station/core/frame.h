// Control-bus frames as the station sees them.
//
// Request: 32-byte prefix (host order, never converted), save header, parameters.
//   0 u32 frame sequence | 12 u16 station number | 24 u8 8 | 28 u16 frame type |
//   30 u16 body length in 16-bit words (save header + parameters) | 32 save header | 56 parameters
// Reply: 40-byte prefix (status byte at 33), save header at 40, body at 64 (at most 2012 bytes).
// Save header and bodies are in the station's order; the layouts are in bc2fcs_layout.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fcs {

constexpr std::size_t kRequestPrefix = 32;
constexpr std::size_t kRequestHeaderOff = 32;
constexpr std::size_t kRequestParamsOff = 56;
constexpr std::size_t kRequestMax = 2060;
constexpr std::size_t kReplyStatusOff = 33;
constexpr std::size_t kReplyHeaderOff = 40;
constexpr std::size_t kReplyBodyOff = 64;
constexpr std::size_t kReplyMaxBody = 2012;
constexpr std::size_t kReplyMax = kReplyBodyOff + kReplyMaxBody;  // 2076
constexpr std::size_t kStationNumberOff = 12;
static_assert(kReplyMax == 2076 && kRequestParamsOff == kRequestHeaderOff + 24);

// Save header fields (offsets inside the header).
constexpr std::size_t kHdrCommand = 2, kHdrSub = 3, kHdrArea = 4, kHdrResult = 8, kHdrSerial = 12,
                      kHdrSession = 16, kHdrBytes = 20, kHdrCount = 22;

constexpr std::uint8_t kCmdSession = 0x1F;  // sub 1 start, 2 end
constexpr std::uint8_t kCmdSave = 0x21;     // sub 3
constexpr std::uint8_t kCmdUpload = 0x24;   // sub 3
constexpr std::uint8_t kCmdGenInfo = 0x30;  // sub 1: generation information for the load check

// Communication status (reply byte 33).
constexpr std::uint8_t kStatusGood = 0;
constexpr std::uint8_t kStatusBusy = 22;        // receive buffer busy: the request was not taken
constexpr std::uint8_t kStatusFrameError = 0x0E; // too short to carry a save header

// Result codes of the save header.
constexpr std::uint16_t kResultOk = 0;
constexpr std::uint16_t kResultUnknownCommand = 0x9401;
constexpr std::uint16_t kResultBadSerial = 0x9402;
constexpr std::uint16_t kResultBadSession = 0x9403;
constexpr std::uint16_t kResultBadParameters = 0x9404;
constexpr std::uint16_t kResultNothingToUpload = 0x9406;
constexpr std::uint16_t kResultUnknownArea = 0x9407;
constexpr std::uint16_t kResultAskAgain = 0x9642;

// Item status of upload data.
constexpr std::uint16_t kItemNoBlock = 0x9412;
constexpr std::uint16_t kItemNoRecord = 0x9413;
constexpr std::uint16_t kItemUnknownKind = 0x9414;
constexpr std::uint16_t kItemNoTable = 0x9415;
constexpr std::uint16_t kItemBadRange = 0x9416;  // elements outside the table

// Generation information reply body (32 bytes): u16 order mark 0x0102 | u16 0 | u32 0 |
// u64 generation stamp | char[16] station name; numbers in the station's order.
constexpr std::size_t kGenInfoSize = 32;
constexpr std::uint16_t kOrderMark = 0x0102;

}  // namespace fcs
