// Byte order of control-bus frames and station records. direction: 1 = host to station,
// 0 = station to host. Every call converts in place and returns 0, non-zero on failure.
//
// The records are byte arrays with their field layouts below; they are read and written
// with the byte helpers, never through casts.
#pragma once

#include <cstdint>

// Save header, 24 bytes: u8 u8 cmd u8 sub u8 area u8[3] | u16 result u16 | u16 serial u16 |
// u32 session | i16 paramBytes (replies: data bytes) | u16 paramCount
struct FcMnSaveHeader { std::uint8_t b[24]; };
// Request parameter, 8 bytes. Block record (b[0] == 1): u8 kind u8 recNo i16 blockNo u32 0.
// Operation mark (other kinds): u8 kind u8 0 u16 0 u16 first u16 count.
struct FcMnSavePara { std::uint8_t b[8]; };
// Session-start reply parameter: u32 sessionId, u32.
struct FcMnSaveStartRtnPara { std::uint8_t b[8]; };
// Save-request reply parameter: i32 upload size, u32.
struct FcMnSaveReqRtnPara { std::uint8_t b[8]; };
// Upload item header, 16 bytes: u16 status u16 | u8 dataType u8 recNo i16 blockNo |
// u16 first u16 count | u32 byte count
struct FcMnSaveData { std::uint8_t b[16]; };

static_assert(sizeof(FcMnSaveHeader) == 24 && sizeof(FcMnSavePara) == 8 &&
              sizeof(FcMnSaveStartRtnPara) == 8 && sizeof(FcMnSaveReqRtnPara) == 8 &&
              sizeof(FcMnSaveData) == 16);

int bc2FcMnSaveHeader(FcMnSaveHeader* header, int direction);
int bc2FcMnSavePara(FcMnSavePara* para, int direction);
int bc2FcMnSaveStartRtnPara(FcMnSaveStartRtnPara* para, int direction);
int bc2FcMnSaveReqRtnPara(FcMnSaveReqRtnPara* para, int direction);
int bc2FcMnSaveData(FcMnSaveData* item, int direction);
// Converts size bytes of record recNo of a block of code blkCode in place, using the field
// layout that the user instance image gives for that block code and record.
int bc3RecordInBlock(void* record, const void* blockHeader, unsigned short blkCode, int recNo, int size,
                     int direction, const void* userInst);
