// SPDX-License-Identifier: Apache-2.0
// The statistics summary: one model of the rows to show, built once from the
// totals, that the text table and the JSON object both walk, and the writer
// that puts the summary where DGFILE_STATS says when the process exits or the
// library is unloaded.
//
// Owns nothing that outlives a call.  Callers: this unit's exit-time writer
// (a destructor function of the library), once per process; no lock is held
// while the summary is built or written (gather() takes the counting's own).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stats_totals.h"

namespace stats {

struct path_row_t {
    const char* name;  // in the table: "CPU copy"
    const char* key;   // in JSON: "cpu_copy"
    path_sum_t sum;
    // Nearest rank: at least half (99 %) of the transfers took less than
    // these many microseconds; 0 without transfers.
    std::uint64_t p50 = 0, p99 = 0;
};

// A reason why direct attempts did not complete, with what followed.
struct miss_row_t {
    std::string name;  // in the table and the verdict: "driver refused (EIO)"
    const char* key;   // in JSON: "driver_refused"
    int error = -1;    // the errno of a driver refusal; -1 for other reasons
    std::string error_name;  // "EIO", or the number when the errno has no name
    std::uint64_t followed[2] = {};  // [kCopied], [kFailed]
};

// Why CPU copies failed.
struct cpu_failure_row_t {
    const char* name;  // in the table and the verdict: "seek"
    const char* key;   // in JSON: "seek"
    std::uint64_t count;
};

struct report_t {
    int pid = 0;
    totals_t totals;  // the plain counts: handles, batches, device connection
    path_row_t paths[kPaths];
    // Every reason in the order of miss_t, a driver refusal once per errno;
    // reasons other than a refusal even when nothing was counted.
    std::vector<miss_row_t> misses;
    cpu_failure_row_t cpu_failures[kCpuFailures];
    double direct_byte_percent = 0;  // of all bytes moved; 0 when none moved
    // "98.7 % of bytes moved by the direct path; 12 transfers fell back:
    // driver refused (EINVAL) 12" and, when some failed, what they failed on.
    std::string verdict;
};

report_t build_report(totals_t totals, int pid);
std::string text_summary(const report_t& report);
std::string json_summary(const report_t& report);

// Writes the summary once per process, when statistics are on: to standard
// error, or to the file the path template names, opened by the rule of
// safe_open.h (replaced if it is a regular file; anything else there gets one
// message on standard error and no summary).
void write_summary();

}  // namespace stats
