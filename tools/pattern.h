// SPDX-License-Identifier: Apache-2.0
// The data pattern of dgfile-bench and the byte-by-byte checks of --verify.
//
// Each 8-byte word of pattern data, at file offset o (a multiple of 8), is
// little-endian: bits 0-55 hold o XOR a fixed key, bits 56-63 a generation
// number (0 for files made with --create, a fresh one for each write run).
// So every block names its own offset: a block moved to the wrong place is
// caught as surely as a flipped bit, and a write run's data differs from what
// the file held before.  The pattern of a byte depends only on its file
// offset, so any range, aligned or not, can be generated and checked.
//
// Pure functions on caller memory; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace dgbench {

using Byte = unsigned char;

// The pattern word at file offset `word_offset` (a multiple of 8).
std::uint64_t PatternWord(std::uint64_t word_offset, std::uint8_t generation);

// Fills out[0, len) with the pattern of the file bytes from `file_offset`.
void FillPattern(Byte* out, std::size_t len, std::uint64_t file_offset,
                 std::uint8_t generation);

// The generation of the first whole word of data[0, len) (file bytes from
// `file_offset`) if that word carries the pattern's offset; else nothing.
std::optional<std::uint8_t> PatternGeneration(const Byte* data, std::size_t len,
                                              std::uint64_t file_offset);

struct Mismatch {
    std::uint64_t offset = 0;  // file offset of the byte
    Byte expected = 0;
    Byte found = 0;
    // The word found there is the pattern of another place: the data of
    // file offset `belongs_at` landed at `offset` (a misplaced block).
    std::optional<std::uint64_t> belongs_at;
};

// The outcome of checking a range: how many bytes differ, and the first
// (lowest offset) of them.
struct CheckResult {
    std::uint64_t bytes_checked = 0;
    std::uint64_t bad_bytes = 0;
    std::optional<Mismatch> first;

    bool ok() const { return bad_bytes == 0; }
    // Adds another range's outcome, keeping the lower first mismatch.
    void Merge(const CheckResult& other);
};

// Compares got[0, len) with want[0, len), file bytes from `file_offset`.
// With `pattern_data`, a differing word that carries the pattern of another
// offset is named as misplaced data.
CheckResult CompareBytes(const Byte* got, const Byte* want, std::size_t len,
                         std::uint64_t file_offset, bool pattern_data);

// Checks that data[0, len) carries the pattern's offset in every word (the
// generation byte, bits 56-63, may be anything): the file-content check of a
// read, which catches a block of the file at the wrong place.
CheckResult CheckPatternOffsets(const Byte* data, std::size_t len, std::uint64_t file_offset);

// One line for a report: "file offset 4100: expected 0x1e, found 0xe1" and,
// for misplaced data, "(the data of file offset 8196: a misplaced block)".
std::string Describe(const Mismatch& m);

}  // namespace dgbench
