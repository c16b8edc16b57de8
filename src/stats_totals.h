// SPDX-License-Identifier: Apache-2.0
// What the counting hands the summary: the process's totals, added up from
// every counter shard and the list of driver refusals, and the settings the
// summary follows.
//
// Owned by the counting (stats_counters.cpp); used by the summary
// (stats_report.cpp) only.  gather() takes the registry mutex and then the
// refusal mutex itself, one after the other; the rest takes no lock.
#pragma once

#include <cstdint>
#include <vector>

#include "settings.h"
#include "stats.h"

namespace stats {

inline constexpr unsigned kBuckets = 40;  // latency below 2^b microseconds
inline constexpr unsigned kCopied = 0, kFailed = 1;  // what followed a direct miss

struct path_sum_t {
    std::uint64_t transfers = 0, bytes = 0, microseconds = 0;
    std::uint64_t latency[kBuckets] = {};  // transfers by bucket (see bucket_of)
};

struct refusal_sum_t {
    int error = 0;  // the errno the driver gave
    std::uint64_t followed[2] = {};
};

struct totals_t {
    path_sum_t paths[kPaths];
    std::uint64_t callback_failures = 0;
    std::uint64_t missed[kMisses][2] = {};  // driver refusals are in `refusals` instead
    std::vector<refusal_sum_t> refusals;    // one per errno, in the order first seen
    std::uint64_t cpu_failures[kCpuFailures] = {};
    std::uint64_t handles_registered = 0, handles_deregistered = 0;
    std::uint64_t batches = 0, requests = 0, cancellations = 0;
    std::int64_t most_in_flight = 0;
    std::uint64_t device_opened = 0, device_closed = 0;
};

// The latency bucket of a transfer: b counts those that took less than 2^b
// and at least 2^(b-1) microseconds; 0 those under one; the last all longer.
inline unsigned bucket_of(std::uint64_t us) {
    const unsigned b = us == 0 ? 0 : 64 - static_cast<unsigned>(__builtin_clzll(us));
    return b < kBuckets ? b : kBuckets - 1;
}

// The counts so far.  May throw std::bad_alloc.
totals_t gather();

// True exactly once per process (a child made by fork starts again), and only
// while statistics are on: the caller then writes the summary.
bool claim_summary();

// The settings read by the set-up.  REQUIRES: claim_summary() returned true.
const StatsSettings& current_settings();

}  // namespace stats
