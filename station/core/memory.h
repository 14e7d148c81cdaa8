// The station's live memory: a 512-byte file header, then the database image whose tables
// refer to each other by station addresses (image offset 0x200 = base address B, and
// B = station constant table address - 0x100). Every look-up is bounds-checked against the
// memory; what does not fit is reported as absent.
//
// File header: 0 "TUSFDB01" | 8 u32 version 1 | 12 u32 station number | 16 u64 generation
// stamp | 24 char[16] name | 40 u32 base address. All little-endian, like the whole image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fcs {

constexpr std::size_t kFileHeaderSize = 0x200;
constexpr std::size_t kRootTbl = 0x200;
constexpr std::size_t kStnCnstTbl = 0x300;

struct RecordRef {
    std::size_t pos = 0;     // image offset of the record
    std::uint32_t size = 0;  // bytes
    std::uint16_t blockCode = 0;
};

// Where an operation-mark kind's elements lie in the memory.
struct OpMarkTable {
    std::size_t pos = 0;          // image offset of the table
    std::uint32_t last = 0;       // last element that may be asked for (elements from 1)
    std::uint32_t elemWords = 0;  // 16-bit words per element; 0 for the bit map of kind 31
    bool bitmap = false;          // kind 31: one bit per element, 128 elements per 16 bytes
};

class Memory {
public:
    Memory() = default;
    explicit Memory(std::vector<std::uint8_t> bytes) : b_(std::move(bytes)) {}

    // Empty when the file header is not there or malformed.
    std::optional<std::string> check_header() const;
    std::uint32_t header_station() const;
    std::uint64_t generation() const;
    std::span<const std::uint8_t> bytes() const { return b_; }
    std::vector<std::uint8_t>& mutable_bytes() { return b_; }

    // Image offset of station address a when len bytes from there lie in the memory.
    std::optional<std::size_t> pos(std::uint32_t a, std::size_t len) const;
    std::optional<std::size_t> block_header(int blockNo) const;
    // Entries of the block header address table (MaxBlock); 0 when the tables are not usable.
    int max_block() const;
    std::optional<RecordRef> record(int blockNo, int recNo) const;
    // The table of an operation-mark kind, found as the save finds it; absent when the kind
    // is not one of the twelve, has a count of 0, or its table is missing or does not fit.
    std::optional<OpMarkTable> opmark(int kind) const;

private:
    std::optional<std::uint32_t> u32_at(std::size_t off) const;
    std::optional<std::uint16_t> u16_at(std::size_t off) const;
    // Image offset of the table whose station address stands at image offset off.
    std::optional<std::size_t> follow(std::size_t off, std::size_t len) const;
    std::optional<std::size_t> area_root() const;
    std::optional<std::uint32_t> base() const;

    std::vector<std::uint8_t> b_;
};

}  // namespace fcs
