// SPDX-License-Identifier: Apache-2.0
// Parsing of the simulator's environment variables, shared by its libraries
// (each gets its own copy: header only, internal linkage).  No state.
#pragma once

#include <cstdint>

namespace sim_env {
namespace {

// Decimal digits, optionally followed (when allow_suffix) by one of K, M, G, T
// (binary multiples, either case).  Nothing else, no sign, no overflow.
[[maybe_unused]] bool ParseSize(const char* text, bool allow_suffix, uint64_t& out) {
    uint64_t value = 0;
    const char* p = text;
    if (*p < '0' || *p > '9') return false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<uint64_t>(*p - '0'), &value))
            return false;
    }
    if (*p != '\0') {
        if (!allow_suffix || p[1] != '\0') return false;
        int shift = 0;
        switch (*p) {
            case 'k': case 'K': shift = 10; break;
            case 'm': case 'M': shift = 20; break;
            case 'g': case 'G': shift = 30; break;
            case 't': case 'T': shift = 40; break;
            default: return false;
        }
        if (value > (UINT64_MAX >> shift)) return false;
        value <<= shift;
    }
    out = value;
    return true;
}

}  // namespace
}  // namespace sim_env
