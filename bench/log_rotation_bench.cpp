// SPDX-License-Identifier: Apache-2.0
// What log file rotation costs: records per second written through the
// shipped library (the DEBUG trace record of dgFileBufRegister) into a log
// file that rotates at 64 KiB, against the same into a log file whose limit
// is never reached, with one writer thread and with eight.  Both runs pay the
// size check of every record; the difference is the rotations themselves
// (close, new entry, open, deletion of the oldest file).
//
// Each configuration runs in a sandboxed child (tests/sandbox.h): the
// settings file has a fixed path and the log keeps its settings for the life
// of a process.  The log directory is on the child's temporary file system.
//
//   build/bench/log_rotation_bench [--benchmark_repetitions=5 ...]
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <benchmark/benchmark.h>

#include "dgfile.h"
#include "sandbox.h"
#include "timing.h"

namespace {

constexpr const char* kLogDir = "/opt/tavo/etc/log";
alignas(64) char buffer[64];

void BM_Records(benchmark::State& state) {
    for (auto _ : state) {
        DGfileError_t r = dgFileBufRegister(buffer, sizeof buffer, state.thread_index());
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations());
}

// Per benchmark: records per second (wall clock, all writers together) and
// CPU time per record (all writers' CPU time over all records), which a
// machine busy with other work disturbs less.
struct Figures {
    double rate = -1;
    double cpu_ns = -1;
};

// What the summary takes from a run; runs without a record rate do not count.
std::optional<Figures> FiguresOf(const benchmark::BenchmarkReporter::Run& run) {
    auto rate = run.counters.find("items_per_second");
    if (rate == run.counters.end()) return std::nullopt;
    return Figures{rate->second.value, run.GetAdjustedCPUTime()};
}

// The highest number among the log files: with the default name format each
// rotation takes the next one, so it counts the rotations.
long Rotations() {
    long highest = 0;
    if (DIR* d = ::opendir(kLogDir)) {
        while (dirent* e = ::readdir(d)) {
            long n = 0;
            if (std::sscanf(e->d_name, "dgfile.%ld.log", &n) == 1) highest = std::max(highest, n);
        }
        ::closedir(d);
    }
    return highest;
}

struct Rates {
    Figures one;    // one writer
    Figures eight;  // eight writers together
};

Rates RunCase(const char* title, const char* max_file_size) {
    sandbox::Options o;
    o.settings = std::string("[global]\nlog_level = DEBUG\nlog_dir = ") + kLogDir +
                 "\nmax_file_size = " + max_file_size +
                 "\nmax_files = 3\nprint_to_console = false\n";
    o.timeout_ms = 600000;
    auto result = sandbox::Run(o, [] {
        // The first record runs the log's set-up; it is not measured.
        dgFileBufRegister(buffer, sizeof buffer, 0);
        benchmark::RegisterBenchmark("records", BM_Records)->Threads(1)->UseRealTime();
        benchmark::RegisterBenchmark("records", BM_Records)->Threads(8)->UseRealTime();
        bench::MedianReporter<Figures> reporter(FiguresOf);
        benchmark::RunSpecifiedBenchmarks(&reporter);
        Figures one = reporter.Get("records/real_time/threads:1");
        Figures eight = reporter.Get("records/real_time/threads:8");
        std::printf("RESULT %.1f %.2f %.1f %.2f %ld\n", one.rate, one.cpu_ns, eight.rate,
                    eight.cpu_ns, Rotations());
    });
    auto figures = bench::ChildFigures(title, result);
    if (!figures) return Rates{};
    Rates rates;
    long rotations = -1;
    if (std::sscanf(figures->c_str(), "%lf %lf %lf %lf %ld", &rates.one.rate, &rates.one.cpu_ns,
                    &rates.eight.rate, &rates.eight.cpu_ns, &rotations) != 5)
        return Rates{};
    std::printf("rotations during the run: %ld\n", rotations);
    return rates;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    // 2097151 KiB is the largest limit that is exact; no run comes near it.
    Rates plain = RunCase("limit never reached (max_file_size = 2097151)", "2097151");
    Rates rotating = RunCase("rotation at 64 KiB, 3 files kept (max_file_size = 64)", "64");
    for (const Figures& f : {plain.one, plain.eight, rotating.one, rotating.eight})
        if (f.rate <= 0 || f.cpu_ns <= 0) return 1;

    std::printf("\n== Summary (goal: rotation costs under 10%% of the throughput)\n");
    std::printf("%-8s %-24s %12s %12s %8s %8s\n", "writers", "figure", "no rotation",
                "rotation 64K", "ratio", "cost");
    for (auto [label, base, rot] : {std::tuple{"1", plain.one, rotating.one},
                                    std::tuple{"8", plain.eight, rotating.eight}}) {
        std::printf("%-8s %-24s %12.0f %12.0f %8.3f %7.1f%%\n", label, "records/s (wall clock)",
                    base.rate, rot.rate, rot.rate / base.rate,
                    (1.0 - rot.rate / base.rate) * 100.0);
        std::printf("%-8s %-24s %12.1f %12.1f %8.3f %7.1f%%\n", label, "CPU ns per record",
                    base.cpu_ns, rot.cpu_ns, base.cpu_ns / rot.cpu_ns,
                    (rot.cpu_ns / base.cpu_ns - 1.0) * 100.0);
    }
    return 0;
}
