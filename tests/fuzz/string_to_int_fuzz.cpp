// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the numeric conversion of settings on arbitrary text.
//
// The input up to its first NUL is the setting's value.  The result is
// checked against a reference written without strtol: base 10 after C-locale
// white space and one optional sign; anything that is not a number, or does
// not fit an int, yields 0.  The conversion prints its diagnosis on standard
// output, which goes to /dev/null here.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "settings.h"

namespace {

bool c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int reference(const char* text) {
    while (c_space(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    if (*text < '0' || *text > '9') return 0;
    // Magnitude saturated a little above any int: only "fits or not" matters.
    constexpr int64_t kCap = int64_t{1} << 40;
    int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > kCap) magnitude = kCap;
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX) return 0;
    return static_cast<int>(value);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* value = text.c_str();  // cut at the first NUL, like a C string
    int got = string_to_int(value);
    int expected = reference(value);
    if (got != expected) {
        std::fprintf(stderr, "string_to_int(\"%s\") = %d, expected %d\n", value, got, expected);
        std::abort();
    }
    return 0;
}
