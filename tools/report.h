// SPDX-License-Identifier: Apache-2.0
// The reports of dgfile-bench: a table for people and one JSON object for
// programs, built from finished runs (the fields are listed in
// docs/dgfile-bench.md).  Pure formatting; any thread.
#pragma once

#include <string>
#include <vector>

#include "workload.h"

namespace dgbench {

struct Report {
    std::string version;
    DriverInfo driver;
    std::vector<RunResult> runs;
    int exit_code = kExitOk;
};

// "driver: simulated (no /dev/qrvd)", "driver: /dev/qrvd (...)", or, with
// neither, "driver: none (...)" and that transfers take the CPU fallback;
// then a line "runtimes: GPU FILE, application FILE".
std::string DescribeDriver(const DriverInfo& driver);

// One line saying what a run does: range, I/O size, order, threads, calls,
// path.
std::string DescribeRun(const RunResult& r);

// The table: a header line and one line per run, columns separated by
// blanks (no blank inside a value), then one line per run that checked data
// or failed.
std::string FormatTable(const Report& report);

// The JSON object, pretty-printed, ending in a newline.
std::string FormatJson(const Report& report);

}  // namespace dgbench
