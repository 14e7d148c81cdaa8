// Field layouts of the save frames and of station records, and their byte-order swap.
//
// The station is big-endian, the host little-endian, so one swap serves both directions.
// These functions do the work without failpoints: the exported bc2FcMnSave* and
// bc3RecordInBlock call them, and so does the simulated station for its side.
//
// Save header (24 bytes):
//   0 u8 | 1 u8 | 2 u8 cmd | 3 u8 sub | 4 u8 area | 5 u8[3] | 8 u16 result | 10 u16 |
//   12 u16 serial | 14 u16 | 16 u32 session | 20 i16 param/data bytes | 22 u16 param count
// Parameter (8 bytes), by the kind byte at 0 (one byte, so order-free):
//   kind 1 (block record): 0 u8 kind | 1 u8 recNo | 2 i16 blockNo | 4 u32 0
//   other (operation mark): 0 u8 kind | 1 u8 0 | 2 u16 0 | 4 u16 first | 6 u16 count
// Session-start / save-request reply parameter (8 bytes): 0 u32 | 4 u32
// Upload item header (16 bytes):
//   0 u16 status | 2 u16 | 4 u8 dataType | 5 u8 recNo | 6 i16 blockNo |
//   8 u16 first | 10 u16 count | 12 u32 byte count
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bc2fcs {

constexpr std::size_t kHeaderSize = 24;
constexpr std::size_t kParaSize = 8;
constexpr std::size_t kRtnParaSize = 8;
constexpr std::size_t kItemSize = 16;
constexpr std::uint8_t kKindBlockRecord = 1;

void swap_header(std::uint8_t* h) noexcept;      // 24 bytes
void swap_para(std::uint8_t* p) noexcept;        // 8 bytes
void swap_rtn_para(std::uint8_t* p) noexcept;    // 8 bytes: two 32-bit values
void swap_item(std::uint8_t* item) noexcept;     // 16 bytes

// One multi-byte field of a record, repeated count times back to back.
struct Field {
    std::uint32_t offset = 0;
    std::uint32_t width = 0;  // 1, 2, 4 or 8
    std::uint32_t count = 1;
};

struct RecordLayout {
    std::uint32_t size = 0;
    std::vector<Field> fields;  // sorted by offset, non-overlapping, inside size
    bool valid = true;          // false: a field lies outside the record or overlaps another
};

// The record layouts of a user instance file, by (block code, record number).
class RecordLayouts {
public:
    // Parses the file's bytes (trailing NUL bytes are ignored). Nothing on malformed input,
    // with the reason in error.
    static std::shared_ptr<const RecordLayouts> parse(const std::uint8_t* data, std::size_t size,
                                                      std::string* error);
    const RecordLayout* find(std::uint16_t blockCode, int recNo) const;
    std::size_t size() const { return layouts_.size(); }

private:
    std::map<std::pair<std::uint16_t, int>, RecordLayout> layouts_;
};

// Swaps the fields of a record in place. False (record untouched) when the layout is
// invalid or size differs from the layout's record size.
bool swap_record(const RecordLayout& layout, std::uint8_t* record, std::size_t size) noexcept;

}  // namespace bc2fcs
