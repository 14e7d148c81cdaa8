// A frame in the transport envelope of the control bus, as the one datagram that carries it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "ZclNthmi/zcl_envelope.h"

inline std::vector<std::uint8_t> sealed(zcl::EnvKind kind, std::uint32_t id, const std::vector<std::uint8_t>& frame) {
    std::uint8_t header[zcl::kEnvelopeSize];
    zcl::seal(kind, id, frame, header);
    std::vector<std::uint8_t> d(sizeof header + frame.size());
    std::copy(std::begin(header), std::end(header), d.begin());
    std::copy(frame.begin(), frame.end(), d.begin() + sizeof header);
    return d;
}
