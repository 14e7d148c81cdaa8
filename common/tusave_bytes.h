// Little- and big-endian field access over byte spans.
//
// Two tiers: load_*/store_* on offsets already proven in range (no check), and
// get_*/put_* over a span that fail instead of reading or writing past its end.
// Range checks are written so that they cannot overflow: off <= size && len <= size - off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace tb {

using Bytes = std::span<const std::uint8_t>;
using MutBytes = std::span<std::uint8_t>;

constexpr bool in_range(std::size_t size, std::size_t off, std::size_t len) noexcept {
    return off <= size && len <= size - off;
}

// ---- unchecked tier -------------------------------------------------------
inline std::uint16_t load_u16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t load_u32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t load_u64(const std::uint8_t* p) noexcept {
    return static_cast<std::uint64_t>(load_u32(p)) | (static_cast<std::uint64_t>(load_u32(p + 4)) << 32);
}
inline std::int16_t load_i16(const std::uint8_t* p) noexcept { return static_cast<std::int16_t>(load_u16(p)); }
inline std::int32_t load_i32(const std::uint8_t* p) noexcept { return static_cast<std::int32_t>(load_u32(p)); }

inline void store_u16(std::uint8_t* p, std::uint16_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void store_u32(std::uint8_t* p, std::uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void store_u64(std::uint8_t* p, std::uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Big-endian (the station's own order).
inline std::uint16_t load_be16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline void store_be16(std::uint8_t* p, std::uint16_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void store_be32(std::uint8_t* p, std::uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}

// A field of 2, 4 or 8 bytes in the other byte order: one load, byte swap and store.
template <typename T>
inline void swap_whole(std::uint8_t* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (sizeof v == 2) v = __builtin_bswap16(v);
    else if constexpr (sizeof v == 4) v = __builtin_bswap32(v);
    else v = __builtin_bswap64(v);
    std::memcpy(p, &v, sizeof v);
}

// Reverses the byte order of one field of width 1, 2, 4 or 8 in place.
inline void swap_in_place(std::uint8_t* p, std::size_t width) noexcept {
    switch (width) {
    case 2: return swap_whole<std::uint16_t>(p);
    case 4: return swap_whole<std::uint32_t>(p);
    case 8: return swap_whole<std::uint64_t>(p);
    default: break;
    }
    for (std::size_t i = 0; i < width / 2; ++i) {
        std::uint8_t t = p[i];
        p[i] = p[width - 1 - i];
        p[width - 1 - i] = t;
    }
}

// ---- fields of fixed-size arrays: the bounds checked when compiling -------
template <std::size_t Off, std::size_t N>
inline std::uint16_t field_u16(const std::uint8_t (&a)[N]) noexcept {
    static_assert(Off + 2 <= N, "field outside the array");
    return load_u16(a + Off);
}
template <std::size_t Off, std::size_t N>
inline std::uint32_t field_u32(const std::uint8_t (&a)[N]) noexcept {
    static_assert(Off + 4 <= N, "field outside the array");
    return load_u32(a + Off);
}

// ---- checked tier ---------------------------------------------------------
inline std::optional<std::uint8_t> get_u8(Bytes b, std::size_t off) noexcept {
    if (!in_range(b.size(), off, 1)) return std::nullopt;
    return b[off];
}
inline std::optional<std::uint16_t> get_u16(Bytes b, std::size_t off) noexcept {
    if (!in_range(b.size(), off, 2)) return std::nullopt;
    return load_u16(b.data() + off);
}
inline std::optional<std::int16_t> get_i16(Bytes b, std::size_t off) noexcept {
    if (!in_range(b.size(), off, 2)) return std::nullopt;
    return load_i16(b.data() + off);
}
inline std::optional<std::uint32_t> get_u32(Bytes b, std::size_t off) noexcept {
    if (!in_range(b.size(), off, 4)) return std::nullopt;
    return load_u32(b.data() + off);
}
inline std::optional<std::uint64_t> get_u64(Bytes b, std::size_t off) noexcept {
    if (!in_range(b.size(), off, 8)) return std::nullopt;
    return load_u64(b.data() + off);
}
inline bool put_u8(MutBytes b, std::size_t off, std::uint8_t v) noexcept {
    if (!in_range(b.size(), off, 1)) return false;
    b[off] = v;
    return true;
}
inline bool put_u16(MutBytes b, std::size_t off, std::uint16_t v) noexcept {
    if (!in_range(b.size(), off, 2)) return false;
    store_u16(b.data() + off, v);
    return true;
}
inline bool put_u32(MutBytes b, std::size_t off, std::uint32_t v) noexcept {
    if (!in_range(b.size(), off, 4)) return false;
    store_u32(b.data() + off, v);
    return true;
}
inline bool put_u64(MutBytes b, std::size_t off, std::uint64_t v) noexcept {
    if (!in_range(b.size(), off, 8)) return false;
    store_u64(b.data() + off, v);
    return true;
}
// Copies len bytes at off out of b; false (and nothing copied) when they are not all there.
inline bool get_bytes(Bytes b, std::size_t off, void* dst, std::size_t len) noexcept {
    if (!in_range(b.size(), off, len)) return false;
    if (len) std::memcpy(dst, b.data() + off, len);
    return true;
}
inline bool put_bytes(MutBytes b, std::size_t off, const void* src, std::size_t len) noexcept {
    if (!in_range(b.size(), off, len)) return false;
    if (len) std::memcpy(b.data() + off, src, len);
    return true;
}

}  // namespace tb
