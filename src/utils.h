// SPDX-License-Identifier: Apache-2.0
// Small helpers of the transfer units: timing and rate text for the file
// handle's records, and reading enumerations that callers fill in.
//
// Pure functions, no state, no locks; callable from any thread.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

// The integer a caller stored in an enumeration field of a public record.
// Callers may store any value there; loading it as the enumeration type
// would be undefined for values outside the enumerators.
template <typename E>
inline std::underlying_type_t<E> raw_value(const E& field) {
    std::underlying_type_t<E> value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

// Size of the buffer every caller of speed() passes.
inline constexpr std::size_t kSpeedTextSize = 1024;

// Microseconds from start to end, in wrap-around arithmetic: a clock that
// steps backwards gives a huge value rather than undefined behaviour.
inline std::uint64_t dur(const timeval& start, const timeval& end) {
    return (static_cast<std::uint64_t>(end.tv_sec) - static_cast<std::uint64_t>(start.tv_sec)) *
               1000000u +
           (static_cast<std::uint64_t>(end.tv_usec) - static_cast<std::uint64_t>(start.tv_usec));
}

// Writes the rate of `size` bytes in `dur_us` microseconds into s (which holds
// kSpeedTextSize characters) in the largest unit it reaches, e.g.
// "1000.00MB/sec"; a zero duration reads "0.00B/sec".  Returns s.
inline char* speed(char* s, std::int64_t size, std::uint64_t dur_us) {
    double rate = dur_us == 0 ? 0.0
                              : static_cast<double>(size) / static_cast<double>(dur_us) * 1000000.0;
    if (rate >= 1073741824.0)
        std::snprintf(s, kSpeedTextSize, "%.2fGB/sec", rate / 1073741824.0);
    else if (rate >= 1048576.0)
        std::snprintf(s, kSpeedTextSize, "%.2fMB/sec", rate / 1048576.0);
    else if (rate >= 1024.0)
        std::snprintf(s, kSpeedTextSize, "%.2fKB/sec", rate / 1024.0);
    else
        std::snprintf(s, kSpeedTextSize, "%.2fB/sec", rate);
    return s;
}
