// SPDX-License-Identifier: Apache-2.0
// The data pattern of the tests' files and buffers, and the checks against
// it.  Byte `offset` of generation `generation` is a hash of both, so a byte
// moved to the wrong place, a misplaced block, a stale generation and a
// flipped bit all show, whatever the distance.  Pure functions: any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace support {

using Bytes = std::vector<unsigned char>;

inline unsigned char PatternByte(std::uint64_t offset, unsigned generation = 0) {
    std::uint64_t x = (offset + 1) * 0x9e3779b97f4a7c15u + generation * 0xc2b2ae3d27d4eb4fu;
    x ^= x >> 31;
    x *= 0xbf58476d1ce4e5b9u;
    return static_cast<unsigned char>(x >> 40);
}

// The `n` pattern bytes from `offset`.
inline Bytes PatternBytes(std::uint64_t offset, std::size_t n, unsigned generation = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = PatternByte(offset + i, generation);
    return b;
}

// Whether `bytes` are the `n` pattern bytes from `offset`.
inline bool MatchesPattern(const unsigned char* bytes, std::size_t n, std::uint64_t offset,
                           unsigned generation = 0) {
    for (std::size_t i = 0; i < n; ++i)
        if (bytes[i] != PatternByte(offset + i, generation)) return false;
    return true;
}

inline bool AllEqual(const unsigned char* bytes, std::size_t n, unsigned char value) {
    for (std::size_t i = 0; i < n; ++i)
        if (bytes[i] != value) return false;
    return true;
}

}  // namespace support
