// Detail codes of the load check (LdCheckGenTime) and the generation query it sends.
#pragma once

#include <cstdint>

namespace ldc {

// Detail codes; LdGetTReturnMessage gives a complete "ERR:" line for each.
constexpr int kDetailDiffer = 0x0D01;     // the station was generated from another database
constexpr int kDetailDbFile = 0x0D02;     // the station database file cannot be read
constexpr int kDetailDbHeader = 0x0D03;   // the file is shorter than its header or not a station database
constexpr int kDetailNoAnswer = 0x0D04;   // no reply: write, wait, read failed, or the bus status is not good
constexpr int kDetailRefused = 0x0D05;    // the station refused the query (its result code in the line)
constexpr int kDetailBadReply = 0x0D06;   // the reply is too short or its order mark is unknown
constexpr int kDetailArgs = 0x0D07;       // no bus handle or no file path
constexpr int kDetailOtherStation = 0x0D08;  // the file's header names another station than the one saved

// The generation query: save header command and sub-command; reply parameter layout.
constexpr std::uint8_t kGenQueryCmd = 0x30;
constexpr std::uint8_t kGenQuerySub = 1;
constexpr std::uint16_t kOrderMark = 0x0102;
constexpr int kGenReplyParaOff = 64;
constexpr int kGenReplyParaSize = 32;
constexpr std::uint32_t kReplyWaitMs = 30000;
constexpr std::uint32_t kBusyRetryMs = 1000;
constexpr std::uint8_t kStatusBusy = 22;

}  // namespace ldc
