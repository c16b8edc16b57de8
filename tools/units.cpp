// SPDX-License-Identifier: Apache-2.0
#include "units.h"

#include <cctype>
#include <cstdio>

namespace dgbench {

std::optional<std::uint64_t> ParseSize(const std::string& text, std::string* why) {
    auto fail = [&](const std::string& reason) -> std::optional<std::uint64_t> {
        if (why != nullptr) *why = reason;
        return std::nullopt;
    };
    std::size_t i = 0;
    std::uint64_t value = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, digit, &value))
            return fail("'" + text + "' is too large");
        ++i;
    }
    std::string unit;
    for (std::size_t u = i; u < text.size(); ++u) {
        if (!std::isalpha(static_cast<unsigned char>(text[u]))) i = 0;  // "1.5K", "4 K"
        unit += static_cast<char>(std::toupper(static_cast<unsigned char>(text[u])));
    }
    if (i == 0)
        return fail("'" + text + "' is not a size (a whole number of bytes, optionally "
                    "followed by K, M, G or T: 4K is 4096)");
    static const struct { const char* name; std::uint64_t factor; } kUnits[] = {
        {"", 1}, {"B", 1},
        {"K", KiB}, {"KB", KiB}, {"KIB", KiB},
        {"M", MiB}, {"MB", MiB}, {"MIB", MiB},
        {"G", GiB}, {"GB", GiB}, {"GIB", GiB},
        {"T", GiB * 1024}, {"TB", GiB * 1024}, {"TIB", GiB * 1024},
    };
    for (const auto& u : kUnits) {
        if (unit != u.name) continue;
        std::uint64_t bytes = 0;
        if (__builtin_mul_overflow(value, u.factor, &bytes))
            return fail("'" + text + "' is too large");
        return bytes;
    }
    return fail("'" + text + "' has an unknown unit (use K, M, G or T)");
}

std::string FormatSize(std::uint64_t bytes) {
    static const char* const kNames[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < KiB) return std::to_string(bytes) + " B";
    double v = static_cast<double>(bytes) / KiB;
    int unit = 0;
    while (v >= 1024 && unit < 5) {
        v /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, v < 10 ? "%.2f %s" : v < 100 ? "%.1f %s" : "%.0f %s", v,
                  kNames[unit]);
    return text;
}

}  // namespace dgbench
