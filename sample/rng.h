// Deterministic pseudo-random numbers (splitmix64): the same on every platform and library,
// unlike the standard distributions. Streams are keyed, so one block's data does not depend
// on the order in which the builder visits the others.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sample {

class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    // A stream of its own for (seed, a, b, c).
    static Rng keyed(std::uint64_t seed, std::uint64_t a, std::uint64_t b = 0, std::uint64_t c = 0) {
        Rng r(seed);
        r.state_ = mix(r.state_ ^ mix(a + 0x51ED27u) ^ mix(b * 0x9E3779B97F4A7C15ull + 1) ^
                       mix(c * 0xC2B2AE3D27D4EB4Full + 2));
        return r;
    }
    std::uint64_t next() {
        state_ += 0x9E3779B97F4A7C15ull;
        return mix(state_);
    }
    // Uniform enough in [0, n) for sample data; n > 0.
    std::uint64_t below(std::uint64_t n) { return next() % n; }
    void fill(std::uint8_t* p, std::size_t n) {
        while (n >= 8) {
            std::uint64_t v = next();
            for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
            p += 8;
            n -= 8;
        }
        if (n) {
            std::uint64_t v = next();
            for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    }

private:
    static std::uint64_t mix(std::uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t state_;
};

}  // namespace sample
