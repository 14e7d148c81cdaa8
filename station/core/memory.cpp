#include "core/memory.h"

#include <algorithm>
#include <cstring>

#include "tusave_bytes.h"

namespace fcs {
namespace {

constexpr char kMagic[8] = {'T', 'U', 'S', 'F', 'D', 'B', '0', '1'};
constexpr std::size_t kBlockHeaderMin = 0x38;
constexpr int kMaxRecNo = 255;

}  // namespace

std::optional<std::string> Memory::check_header() const {
    if (b_.size() < kStnCnstTbl + 0x200) return "memory shorter than its header and root tables";
    if (std::memcmp(b_.data(), kMagic, sizeof kMagic) != 0) return "memory file header lacks \"TUSFDB01\"";
    if (tb::load_u32(b_.data() + 8) != 1) return "memory file header version is not 1";
    if (!base()) return "station constant table address is not usable";
    return std::nullopt;
}

std::uint32_t Memory::header_station() const { return tb::get_u32(b_, 12).value_or(0); }
std::uint64_t Memory::generation() const { return tb::get_u64(b_, 16).value_or(0); }

std::optional<std::uint32_t> Memory::u32_at(std::size_t off) const {
    auto v = tb::get_u32(b_, off);
    if (!v) return std::nullopt;
    return *v;
}

std::optional<std::uint16_t> Memory::u16_at(std::size_t off) const {
    auto v = tb::get_u16(b_, off);
    if (!v) return std::nullopt;
    return *v;
}

std::optional<std::uint32_t> Memory::base() const {
    auto cnst = u32_at(kRootTbl + 0x40);
    if (!cnst || *cnst < 0x100) return std::nullopt;
    return *cnst - 0x100;
}

std::optional<std::size_t> Memory::pos(std::uint32_t a, std::size_t len) const {
    auto b = base();
    if (!b || a == 0 || a == *b || a < *b) return std::nullopt;
    std::uint64_t off = std::uint64_t{kRootTbl} + (a - *b);
    if (off > b_.size() || !tb::in_range(b_.size(), static_cast<std::size_t>(off), len)) return std::nullopt;
    return static_cast<std::size_t>(off);
}

std::optional<std::size_t> Memory::follow(std::size_t off, std::size_t len) const {
    auto a = u32_at(off);
    if (!a) return std::nullopt;
    return pos(*a, len);
}

std::optional<std::size_t> Memory::area_root() const { return follow(kRootTbl + 0x80, 0x30); }

std::optional<std::size_t> Memory::block_header(int blockNo) const {
    auto area = area_root();
    if (!area || blockNo < 1) return std::nullopt;
    auto cnst = follow(*area + 0x08, 0x50);
    auto bpt = follow(*area + 0x0C, 0x0C);
    if (!cnst || !bpt) return std::nullopt;
    int maxBlock = static_cast<std::int16_t>(*u16_at(*cnst + 0x40));
    if (blockNo > maxBlock) return std::nullopt;
    auto bldb = follow(*bpt + 0x08, std::size_t(maxBlock) * 4);
    if (!bldb) return std::nullopt;
    auto hdr = follow(*bldb + 4 * std::size_t(blockNo - 1), kBlockHeaderMin);
    if (!hdr) return std::nullopt;
    // A header that names another block is not this block's.
    if (tb::load_i16(b_.data() + *hdr) != blockNo) return std::nullopt;
    return hdr;
}

int Memory::max_block() const {
    auto area = area_root();
    if (!area) return 0;
    auto cnst = follow(*area + 0x08, 0x50);
    if (!cnst) return 0;
    return std::max(0, static_cast<int>(static_cast<std::int16_t>(*u16_at(*cnst + 0x40))));
}

std::optional<RecordRef> Memory::record(int blockNo, int recNo) const {
    if (recNo < 0 || recNo > kMaxRecNo) return std::nullopt;
    auto hdr = block_header(blockNo);
    if (!hdr) return std::nullopt;
    std::size_t slot = *hdr + 0x38 + 8 * std::size_t(recNo);
    auto addr = u32_at(slot);
    auto size = u32_at(slot + 4);
    if (!addr || !size || *addr == 0) return std::nullopt;
    auto p = pos(*addr, *size);
    if (!p) return std::nullopt;
    return RecordRef{*p, *size, tb::load_u16(b_.data() + *hdr + 0x14)};
}

std::optional<OpMarkTable> Memory::opmark(int kind) const {
    OpMarkTable t;
    std::optional<std::size_t> io = follow(kRootTbl + 0x48, 0x24C);
    auto sct = [&](std::size_t off) { return u16_at(kStnCnstTbl + off).value_or(0); };
    // Node table of a bus and I/O bus type, at its slot of the station-wide I/O table.
    auto node = [&](std::size_t slot) -> std::optional<std::size_t> {
        if (!io) return std::nullopt;
        return follow(*io + slot, 0x64);
    };
    std::optional<std::size_t> table;
    switch (kind) {
        case 10:
        case 11: {
            t.last = sct(kind == 10 ? 0x84 : 0xAC);
            t.elemWords = 1;
            if (io)
                if (auto p = follow(*io + (kind == 10 ? 0x104 : 0x10C), 8)) table = follow(*p + 4, 0);
            break;
        }
        case 42: {
            t.last = 16u * sct(0x1E0);
            t.elemWords = 1;
            if (io)
                if (auto p = follow(*io + 0x248, 0x34)) table = follow(*p + 0x30, 0);
            break;
        }
        case 21:
        case 22:
        case 29:
        case 30: {
            std::size_t slot = kind == 21 ? 0x80 : kind == 22 ? 0x84 : kind == 29 ? 0x90 : 0x94;
            if (auto n = node(slot)) {
                t.last = *u16_at(*n + 0x0A);
                table = follow(*n + (kind <= 22 ? 0x5C : 0x60), 0);
            }
            if (kind <= 22) {
                long words = long{static_cast<std::int16_t>(sct(0x42))} * static_cast<std::int16_t>(sct(0x44)) * 32;
                if (words <= 0 || words > 0x10000) return std::nullopt;
                t.elemWords = static_cast<std::uint32_t>(words);
            } else {
                t.elemWords = 512;
            }
            break;
        }
        case 27:
        case 28: {
            if (auto n = node(kind == 28 ? 0x88 : 0x8C)) {
                t.last = 5;
                table = follow(*n + 0x54, 0);
            }
            t.elemWords = 512;
            break;
        }
        case 12:
        case 31:
        case 58: {
            auto area = area_root();
            if (!area) return std::nullopt;
            auto cnst = follow(*area + 0x08, 0x50);
            auto an = follow(*area + 0x24, 0x24);
            if (!cnst || !an) return std::nullopt;
            t.last = *u16_at(*cnst + 0x4C);
            t.bitmap = kind == 31;
            t.elemWords = kind == 31 ? 0 : 1;
            table = follow(*an + (kind == 12 ? 0x18 : kind == 31 ? 0x14 : 0x20), 0);
            break;
        }
        default:
            return std::nullopt;
    }
    if (t.last == 0 || !table) return std::nullopt;
    std::uint64_t need = t.bitmap ? (std::uint64_t{t.last} + 127) / 128 * 16 : std::uint64_t{t.last} * t.elemWords * 2;
    if (!tb::in_range(b_.size(), *table, static_cast<std::size_t>(need))) return std::nullopt;
    t.pos = *table;
    return t;
}

}  // namespace fcs
