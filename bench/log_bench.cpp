// SPDX-License-Identifier: Apache-2.0
// What the debug log costs one entry point (dgFileBufRegister) through the
// shipped library: with the log Silent, and with the log at DEBUG writing
// every record to a file, against an empty function call with the same
// signature measured in the same process.
//
// Each configuration runs in a sandboxed child (private mount namespace with
// a temporary file system over the settings directory), because the level is
// fixed for the life of a process and the settings file has a fixed path;
// nothing is written to the real /opt.
//
//   build/bench/log_bench [--benchmark_repetitions=5 ...]
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "dgfile.h"
#include "sandbox.h"
#include "timing.h"

namespace {

// The baseline: an out-of-line call with the entry point's signature that
// does nothing.  GCC's noipa also keeps it from being analysed across the
// call; clang has no such attribute and does not elide a noinline call whose
// arguments escape.
#if defined(__clang__)
#define LOG_BENCH_OUT_OF_LINE __attribute__((noinline))
#else
#define LOG_BENCH_OUT_OF_LINE __attribute__((noinline, noipa))
#endif
LOG_BENCH_OUT_OF_LINE DGfileError_t EmptyCall(const void* devPtr_base, size_t length, int flags) {
    benchmark::DoNotOptimize(devPtr_base);
    benchmark::DoNotOptimize(length);
    benchmark::DoNotOptimize(flags);
    return DGfileError_t{DG_FILE_SUCCESS};
}

alignas(64) char buffer[64];

void BM_EmptyCall(benchmark::State& state) {
    for (auto _ : state) {
        DGfileError_t r = EmptyCall(buffer, sizeof buffer, 0);
        benchmark::DoNotOptimize(r);
    }
}

void BM_BufRegister(benchmark::State& state) {
    for (auto _ : state) {
        DGfileError_t r = dgFileBufRegister(buffer, sizeof buffer, 0);
        benchmark::DoNotOptimize(r);
    }
}

// Per iteration, in ns: real and CPU time.
struct Timing {
    double real = -1;
    double cpu = -1;
};

std::optional<Timing> TimingOf(const benchmark::BenchmarkReporter::Run& run) {
    return Timing{run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
}

struct Case {
    const char* title;
    const char* call_name;
    sandbox::Options options;
};

// Runs the empty call and the entry point in one sandboxed child; prints the
// child's report and returns the timings of {empty call, entry point}.
std::pair<Timing, Timing> RunCase(const Case& c) {
    auto result = sandbox::Run(c.options, [&c] {
        // The first call runs the log's set-up; it is not measured.
        dgFileBufRegister(buffer, sizeof buffer, 0);
        benchmark::RegisterBenchmark("empty_call", BM_EmptyCall);
        benchmark::RegisterBenchmark(c.call_name, BM_BufRegister);
        bench::MedianReporter<Timing> reporter(TimingOf);
        benchmark::RunSpecifiedBenchmarks(&reporter);
        Timing empty = reporter.Get("empty_call");
        Timing call = reporter.Get(c.call_name);
        std::printf("RESULT %.3f %.3f %.3f %.3f\n", empty.real, empty.cpu, call.real, call.cpu);
    });
    Timing empty, call;
    if (auto figures = bench::ChildFigures(c.title, result))
        std::sscanf(figures->c_str(), "%lf %lf %lf %lf", &empty.real, &empty.cpu, &call.real,
                    &call.cpu);
    return {empty, call};
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    Case silent{"log Silent (DGFILE_DEBUG=NONE)", "dgFileBufRegister_silent", {}};
    silent.options.env = {{"DGFILE_DEBUG", "NONE"}};
    silent.options.timeout_ms = 600000;

    Case debug{"log at DEBUG, writing every record to a file (console copy off)",
               "dgFileBufRegister_debug_to_file", {}};
    debug.options.settings =
        "[global]\nlog_level = DEBUG\nlog_dir = /opt/tavo/etc/log\n"
        "max_file_size = 10000\nmax_files = 3\nprint_to_console = false\n";
    debug.options.timeout_ms = 600000;

    auto [empty1, quiet] = RunCase(silent);
    auto [empty2, traced] = RunCase(debug);
    if (empty1.cpu < 0 || quiet.cpu < 0 || empty2.cpu < 0 || traced.cpu < 0) return 1;

    std::printf("\n== Summary, per call (CPU time; real time in brackets)\n");
    std::printf("empty call                %9.2f ns  [%9.2f]\n", empty1.cpu, empty1.real);
    std::printf("dgFileBufRegister Silent  %9.2f ns  [%9.2f]  Silent - empty = %.2f ns [%.2f]"
                "  (goal: about 5 ns or less)\n",
                quiet.cpu, quiet.real, quiet.cpu - empty1.cpu, quiet.real - empty1.real);
    std::printf("empty call                %9.2f ns  [%9.2f]\n", empty2.cpu, empty2.real);
    std::printf("dgFileBufRegister DEBUG   %9.2f ns  [%9.2f]  DEBUG - empty = %.2f ns [%.2f],"
                " %.0fx the empty call\n",
                traced.cpu, traced.real, traced.cpu - empty2.cpu, traced.real - empty2.real,
                traced.cpu / empty2.cpu);
    return 0;
}
