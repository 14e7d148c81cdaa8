// The transport envelope of the control bus (layout in zcl_envelope.h).
#include "ZclNthmi/zcl_envelope.h"

#include <isa-l/crc.h>

#include <climits>
#include <cstring>

#include "tusave_bytes.h"

namespace zcl {

namespace {

constexpr std::uint8_t kRequestMagic[4] = {'T', 'Z', 'Q', '1'};
constexpr std::uint8_t kReplyMagic[4] = {'T', 'Z', 'R', '1'};

const std::uint8_t* magic_of(EnvKind kind) { return kind == EnvKind::kRequest ? kRequestMagic : kReplyMagic; }

// The library's CRC runs without the final inversion: ~crc in, ~result out.
std::uint32_t crc_run(const std::uint8_t* p, std::size_t n, std::uint32_t crc) {
    std::uint32_t raw = ~crc;
    while (n > 0) {
        const int chunk = n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
        raw = crc32_iscsi(const_cast<std::uint8_t*>(p), chunk, raw);
        p += chunk;
        n -= static_cast<std::size_t>(chunk);
    }
    return ~raw;
}

}  // namespace

std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    return crc_run(bytes.data(), bytes.size(), crc);
}

void seal(EnvKind kind, std::uint32_t id, std::span<const std::uint8_t> frame,
          std::uint8_t (&header)[kEnvelopeSize]) {
    std::memcpy(header + kEnvMagicOff, magic_of(kind), 4);
    tb::store_u32(header + kEnvIdOff, id);
    tb::store_u32(header + kEnvLengthOff, static_cast<std::uint32_t>(frame.size()));
    const std::uint32_t crc = crc32c(frame, crc32c(std::span<const std::uint8_t>(header, kEnvCrcOff)));
    tb::store_u32(header + kEnvCrcOff, crc);
}

const char* env_error_text(EnvError e) {
    switch (e) {
    case EnvError::kNone: return "intact";
    case EnvError::kShort: return "shorter than the transport envelope";
    case EnvError::kMagic: return "without the transport envelope";
    case EnvError::kLength: return "frame length not the one of the envelope";
    case EnvError::kCrc: return "damaged (CRC-32C mismatch)";
    }
    return "";
}

EnvError open(EnvKind kind, std::span<const std::uint8_t> header, std::span<const std::uint8_t> frame,
              std::uint32_t* id) {
    if (header.size() < kEnvelopeSize) return EnvError::kShort;
    if (std::memcmp(header.data() + kEnvMagicOff, magic_of(kind), 4) != 0) return EnvError::kMagic;
    if (tb::load_u32(header.data() + kEnvLengthOff) != frame.size()) return EnvError::kLength;
    const std::uint32_t crc = crc32c(frame, crc32c(header.first(kEnvCrcOff)));
    if (tb::load_u32(header.data() + kEnvCrcOff) != crc) return EnvError::kCrc;
    *id = tb::load_u32(header.data() + kEnvIdOff);
    return EnvError::kNone;
}

EnvError open(EnvKind kind, std::span<const std::uint8_t> datagram, std::uint32_t* id,
              std::span<const std::uint8_t>* frame) {
    if (datagram.size() < kEnvelopeSize) return EnvError::kShort;
    *frame = datagram.subspan(kEnvelopeSize);
    return open(kind, datagram.first(kEnvelopeSize), *frame, id);
}

}  // namespace zcl
