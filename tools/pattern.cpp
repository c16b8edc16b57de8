// SPDX-License-Identifier: Apache-2.0
#include "pattern.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace dgbench {

namespace {

constexpr std::uint64_t kOffsetMask = (std::uint64_t{1} << 56) - 1;
// "dgflben" in the low seven bytes: keeps small offsets from looking like
// zeros or ASCII text.
constexpr std::uint64_t kKey = 0x0064'6766'6c62'656eULL;
// Decoded offsets at or above this are taken as chance, not as misplaced
// pattern data (a random word passes the tests below once in 2048).
constexpr std::uint64_t kPlausibleOffset = std::uint64_t{1} << 48;

// The pattern is little-endian by definition, whatever the host's order.
std::uint64_t LoadLe(const Byte* p) {
    std::uint64_t w = 0;
    for (int i = 7; i >= 0; --i) w = (w << 8) | p[i];
    return w;
}

Byte PatternByte(std::uint64_t pos, std::uint8_t generation) {
    return static_cast<Byte>(PatternWord(pos & ~std::uint64_t{7}, generation) >> (8 * (pos & 7)));
}

// The file offset that the word at data[word_index] names, if it is
// pattern-shaped: a multiple of 8, plausible in size.
std::optional<std::uint64_t> NamedOffset(const Byte* data, std::size_t word_index) {
    std::uint64_t named = (LoadLe(data + word_index) & kOffsetMask) ^ kKey;
    if (named % 8 != 0 || named >= kPlausibleOffset) return std::nullopt;
    return named;
}

// Records the byte at index i as differing, with the misplacement analysis
// when the whole word around it lies in the buffer.
void Record(CheckResult& r, const Byte* got, std::size_t len, std::size_t i,
            std::uint64_t file_offset, Byte expected, bool pattern_data) {
    ++r.bad_bytes;
    if (r.first) return;
    Mismatch m;
    m.offset = file_offset + i;
    m.expected = expected;
    m.found = got[i];
    if (pattern_data) {
        // Misplaced data names another offset in the word and, consistently,
        // in a neighbouring word; a flipped byte spoils only its own word.
        std::uint64_t word_pos = m.offset & ~std::uint64_t{7};
        if (word_pos >= file_offset && word_pos - file_offset + 8 <= len) {
            auto index = static_cast<std::size_t>(word_pos - file_offset);
            auto named = NamedOffset(got, index);
            std::optional<std::uint64_t> neighbour;
            if (index + 16 <= len) {
                neighbour = NamedOffset(got, index + 8);
                if (neighbour) *neighbour -= 8;
            } else if (index >= 8) {
                neighbour = NamedOffset(got, index - 8);
                if (neighbour) *neighbour += 8;
            }
            if (named && *named != word_pos && neighbour == named)
                m.belongs_at = *named + (m.offset - word_pos);
        }
    }
    r.first = m;
}

}  // namespace

std::uint64_t PatternWord(std::uint64_t word_offset, std::uint8_t generation) {
    return (std::uint64_t{generation} << 56) | ((word_offset ^ kKey) & kOffsetMask);
}

void FillPattern(Byte* out, std::size_t len, std::uint64_t file_offset, std::uint8_t generation) {
    std::size_t i = 0;
    for (; i < len && (file_offset + i) % 8 != 0; ++i) out[i] = PatternByte(file_offset + i, generation);
    for (; i + 8 <= len; i += 8) {
        std::uint64_t w = PatternWord(file_offset + i, generation);
        for (int b = 0; b < 8; ++b) out[i + static_cast<std::size_t>(b)] = static_cast<Byte>(w >> (8 * b));
    }
    for (; i < len; ++i) out[i] = PatternByte(file_offset + i, generation);
}

std::optional<std::uint8_t> PatternGeneration(const Byte* data, std::size_t len,
                                              std::uint64_t file_offset) {
    std::size_t first = static_cast<std::size_t>((8 - file_offset % 8) % 8);
    if (first + 8 > len) return std::nullopt;
    std::uint64_t w = LoadLe(data + first);
    if ((w & kOffsetMask) != (PatternWord(file_offset + first, 0) & kOffsetMask)) return std::nullopt;
    return static_cast<std::uint8_t>(w >> 56);
}

void CheckResult::Merge(const CheckResult& other) {
    bytes_checked += other.bytes_checked;
    bad_bytes += other.bad_bytes;
    if (other.first && (!first || other.first->offset < first->offset)) first = other.first;
}

CheckResult CompareBytes(const Byte* got, const Byte* want, std::size_t len,
                         std::uint64_t file_offset, bool pattern_data) {
    CheckResult r;
    r.bytes_checked = len;
    constexpr std::size_t kChunk = 64 * 1024;
    for (std::size_t at = 0; at < len; at += kChunk) {
        std::size_t n = std::min(kChunk, len - at);
        if (std::memcmp(got + at, want + at, n) == 0) continue;
        for (std::size_t i = at; i < at + n; ++i)
            if (got[i] != want[i]) Record(r, got, len, i, file_offset, want[i], pattern_data);
    }
    return r;
}

CheckResult CheckPatternOffsets(const Byte* data, std::size_t len, std::uint64_t file_offset) {
    CheckResult r;
    r.bytes_checked = len;
    for (std::size_t i = 0; i < len; ++i) {
        std::uint64_t pos = file_offset + i;
        if (pos % 8 == 7) continue;  // the generation byte
        if (pos % 8 == 0 && i + 8 <= len) {
            // Fast path: a whole word, compared with the generation it carries.
            std::uint64_t w = LoadLe(data + i);
            if (w == PatternWord(pos, static_cast<std::uint8_t>(w >> 56))) {
                i += 7;
                continue;
            }
        }
        Byte expected = PatternByte(pos, 0);
        if (data[i] != expected) Record(r, data, len, i, file_offset, expected, true);
    }
    return r;
}

std::string Describe(const Mismatch& m) {
    char text[160];
    int n = std::snprintf(text, sizeof text, "file offset %" PRIu64 ": expected 0x%02x, found 0x%02x",
                          m.offset, m.expected, m.found);
    if (m.belongs_at && n > 0 && static_cast<std::size_t>(n) < sizeof text)
        std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n),
                      " (the data of file offset %" PRIu64 ": a misplaced block)", *m.belongs_at);
    return text;
}

}  // namespace dgbench
