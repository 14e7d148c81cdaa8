// The transport envelope of the control bus: every datagram is a 16-byte envelope and one whole
// frame. The envelope carries the request id, which the station echoes in its reply, and a
// CRC-32C, so that the client takes a datagram only as the intact reply to the request it has
// outstanding. The frame itself goes unchanged. docs/bus-transport.md is the description for
// other station implementations.
//
//   offset  size  field
//   0       4     magic: "TZQ1" in a request, "TZR1" in a reply
//   4       4     request id, u32 little-endian (the reply repeats the request's)
//   8       4     frame length in bytes, u32 little-endian (datagram length - 16)
//   12      4     CRC-32C, u32 little-endian, over bytes 0..11 and then the frame
//   16      n     the frame
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zcl {

constexpr std::size_t kEnvelopeSize = 16;
constexpr std::size_t kEnvMagicOff = 0, kEnvIdOff = 4, kEnvLengthOff = 8, kEnvCrcOff = 12;

enum class EnvKind { kRequest, kReply };

// CRC-32C (Castagnoli: reflected, initial value and final xor 0xFFFFFFFF) of bytes, continuing
// from crc (the CRC of the bytes before them; 0 to start).
std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

// Fills header with the envelope of frame.
void seal(EnvKind kind, std::uint32_t id, std::span<const std::uint8_t> frame, std::uint8_t (&header)[kEnvelopeSize]);

enum class EnvError { kNone, kShort, kMagic, kLength, kCrc };
// What is wrong with a datagram, in words for a trace or a refusal line.
const char* env_error_text(EnvError e);

// Checks the envelope of a datagram whose first 16 bytes are header and whose frame is frame
// (the rest of it); on kNone, *id is the request id.
EnvError open(EnvKind kind, std::span<const std::uint8_t> header, std::span<const std::uint8_t> frame,
              std::uint32_t* id);
// The same for a datagram in one piece; *frame is the part after the envelope.
EnvError open(EnvKind kind, std::span<const std::uint8_t> datagram, std::uint32_t* id,
              std::span<const std::uint8_t>* frame);

}  // namespace zcl
