// SPDX-License-Identifier: Apache-2.0
// Byte counts as people type them ("4K", "64MiB") and read them ("1.50 GiB").
// Pure functions, no state; called by the command line and the reports.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace dgbench {

inline constexpr std::uint64_t KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024;

// A whole number of bytes with an optional binary unit: K, M, G, T (also
// written KB/KiB, any case), or B.  No sign, fraction or blank inside the
// number.  Empty optional, with the reason in `why`, for anything else or a
// value beyond 2^64 - 1.
std::optional<std::uint64_t> ParseSize(const std::string& text, std::string* why = nullptr);

// "4096 B", "64.0 MiB", "1.50 GiB": three significant digits, binary units.
std::string FormatSize(std::uint64_t bytes);

}  // namespace dgbench
