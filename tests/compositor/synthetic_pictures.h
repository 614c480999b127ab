// Deterministic test pictures that need no image library and come out the
// same on every target and compiler (no standard-library distributions),
// and the digest the composition digests are taken with.
#pragma once

#include <cstddef>
#include <cstdint>

namespace synthetic {

// xorshift64*: a fixed sequence of bytes for a given seed.
class Rng {
public:
    explicit Rng(uint64_t seed) : state(seed ? seed : 0x9E3779B97F4A7C15ull) {}
    uint64_t next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1Dull;
    }
    void fill(uint8_t* data, size_t size) {
        for (size_t i = 0; i < size; ++i)
            data[i] = static_cast<uint8_t>(next() >> 56);
    }

private:
    uint64_t state;
};

// 64-bit FNV-1a of `size` bytes.
inline uint64_t fnv1a64(const uint8_t* data, size_t size) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

}  // namespace synthetic
