// Station database file: the offsets the sample builder writes (all little-endian).
//
//   file   0x000  file header, 512 bytes (magic, version, station number, generation stamp,
//                 station name, base station address B)
//   file   0x200  station root table          = station address B
//   file   0x300  station constant table      = station address B + 0x100
//   further on    tables reached by station addresses; address A lies at 0x200 + (A - B)
#pragma once

#include <cstddef>
#include <cstdint>

namespace sample::fmt {

// ---- file header --------------------------------------------------------------------------
inline constexpr std::size_t kHeaderSize = 0x200;
inline constexpr char kMagic[8] = {'T', 'U', 'S', 'F', 'D', 'B', '0', '1'};
inline constexpr std::size_t kHdrMagic = 0x000;
inline constexpr std::size_t kHdrVersion = 0x008;
inline constexpr std::size_t kHdrStationNo = 0x00C;
inline constexpr std::size_t kHdrGeneration = 0x010;
inline constexpr std::size_t kHdrStationName = 0x018;  // 16 bytes, NUL-padded
inline constexpr std::size_t kHdrBase = 0x028;
inline constexpr std::uint32_t kHeaderVersion = 1;

// ---- station root table (file 0x200) --------------------------------------------------------
inline constexpr std::size_t kRootOffset = 0x200;
inline constexpr std::size_t kRootSize = 0x100;
inline constexpr std::size_t kRootStnCnst = 0x40;
inline constexpr std::size_t kRootIoTbl = 0x48;
inline constexpr std::size_t kRootArea1 = 0x80;  // +0x78 + 8 * area

// ---- station constant table (file 0x300) ---------------------------------------------------
inline constexpr std::size_t kStnCnstOffset = 0x300;
inline constexpr std::size_t kStnCnstSize = 0x200;
inline constexpr std::size_t kScIdSecond = 0x28;
inline constexpr std::size_t kScIdFirst = 0x29;
inline constexpr std::size_t kScFactor1 = 0x42;
inline constexpr std::size_t kScFactor2 = 0x44;
inline constexpr std::size_t kScBusType1 = 0x76;
inline constexpr std::size_t kScBusType2 = 0x78;
inline constexpr std::size_t kScCount10 = 0x84;
inline constexpr std::size_t kScCount11 = 0xAC;
inline constexpr std::size_t kScCount1C8 = 0x1C8;
inline constexpr std::size_t kScCount42 = 0x1E0;
static_assert(kScCount42 + 2 <= kStnCnstSize);
static_assert(kStnCnstOffset == kRootOffset + kRootSize);

// ---- station-wide I/O table ----------------------------------------------------------------
inline constexpr std::size_t kIoSize = 0x300;
inline constexpr std::size_t kIoNodeTbls = 0x80;  // 6 x u32: bus 1 type 1, bus 2 type 1,
                                                  // bus 1 type 2, bus 2 type 2, bus 1 type 4, ...
inline constexpr std::size_t kIoKind10 = 0x104;
inline constexpr std::size_t kIoKind11 = 0x10C;
inline constexpr std::size_t kIoCustomList = 0x214;
inline constexpr std::size_t kIoKind42 = 0x248;
static_assert(kIoKind42 + 4 <= kIoSize);

// Holder tables behind +0x104 / +0x10C (destination at +4) and +0x248 (destination at +0x30).
inline constexpr std::size_t kHolderSize = 0x40;
inline constexpr std::size_t kHolderDest = 0x04;
inline constexpr std::size_t kHolder42Dest = 0x30;

// I/O node table.
inline constexpr std::size_t kNodeSize = 0x80;
inline constexpr std::size_t kNodeCount = 0x0A;
inline constexpr std::size_t kNodeType2Tbl = 0x54;
inline constexpr std::size_t kNodeType1Tbl = 0x5C;
inline constexpr std::size_t kNodeType4Tbl = 0x60;

// Custom folder name list: 16 names of 8 characters.
inline constexpr std::size_t kCustomNames = 16;
inline constexpr std::size_t kCustomNameLen = 8;

// ---- area tables ---------------------------------------------------------------------------
inline constexpr std::size_t kAreaRootSize = 0x200;   // the area constant table follows at once
inline constexpr std::size_t kArCnst = 0x08;
inline constexpr std::size_t kArBlockPtr = 0x0C;
inline constexpr std::size_t kArAnMsg = 0x24;
inline constexpr std::size_t kAreaCnstSize = 0x100;
inline constexpr std::size_t kAcMaxBlock = 0x40;
inline constexpr std::size_t kAcCount42 = 0x42;
inline constexpr std::size_t kAcAnMsgCnt = 0x4C;
inline constexpr std::size_t kBlockPtrSize = 0x10;
inline constexpr std::size_t kBpBldb = 0x08;

// AN message data table.
inline constexpr std::size_t kAnSize = 0x40;
inline constexpr std::size_t kAnKind31 = 0x14;
inline constexpr std::size_t kAnKind12 = 0x18;
inline constexpr std::size_t kAnUaid = 0x20;

// ---- blocks --------------------------------------------------------------------------------
inline constexpr std::size_t kBlockHeaderSize = 0x100;
inline constexpr std::size_t kBhNumber = 0x00;
inline constexpr std::size_t kBhTag = 0x04;
inline constexpr std::size_t kTagLen = 16;
inline constexpr std::size_t kBhCode = 0x14;
inline constexpr std::size_t kBhCategory = 0x23;
inline constexpr std::size_t kBhRecords = 0x38;  // + 8 r: address u32, size u32
inline constexpr int kMaxRecNo = static_cast<int>((kBlockHeaderSize - kBhRecords) / 8) - 1;
static_assert(kMaxRecNo == 24);

// Record: block number u16 at +0, record number u8 at +3; record 1 repeats the header's tag
// name (+4) and block code (+0x14); record 2 of codes 5122, 6226, 6227 holds the parent at +0xB2.
inline constexpr std::size_t kRecBlockNo = 0x00;
inline constexpr std::size_t kRecNo = 0x03;
inline constexpr std::size_t kRecIdentity = 0x04;  // bytes before this never change
inline constexpr std::size_t kRec1Size = 0x16;     // least size of record 1
inline constexpr std::size_t kRecParent = 0xB2;
inline constexpr std::uint16_t kCodeParent5122 = 5122;
inline constexpr std::uint16_t kCodeParent6226 = 6226;
inline constexpr std::uint16_t kCodeParent6227 = 6227;
inline constexpr std::uint16_t kCodeSkip6266 = 6266;
inline constexpr std::uint16_t kCodeSkip6267 = 6267;

constexpr bool has_parent(std::uint16_t code) {
    return code == kCodeParent5122 || code == kCodeParent6226 || code == kCodeParent6227;
}

// ---- operation-mark element sizes (bytes) ---------------------------------------------------
inline constexpr std::size_t kWord = 2;
inline constexpr std::size_t kNodeElem512 = 512 * kWord;  // kinds 27..30
inline constexpr std::size_t kType2Elements = 5;          // kinds 27, 28

}  // namespace sample::fmt
