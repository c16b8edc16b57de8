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
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <benchmark/benchmark.h>

#include "dgfile.h"
#include "sandbox.h"

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

// Figures by benchmark name (the median with repetitions).
class Collector : public benchmark::ConsoleReporter {
public:
    Collector() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto rate = run.counters.find("items_per_second");
            if (rate == run.counters.end()) continue;
            const std::string name = run.run_name.str();
            Figures f{rate->second.value, run.GetAdjustedCPUTime()};
            if (run.run_type != Run::RT_Aggregate)
                single_[name] = f;
            else if (run.aggregate_name == "median")
                median_[name] = f;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    Figures Get(const std::string& name) const {
        auto m = median_.find(name);
        if (m != median_.end()) return m->second;
        auto s = single_.find(name);
        return s != single_.end() ? s->second : Figures{};
    }

private:
    std::map<std::string, Figures> median_, single_;
};

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
        Collector collector;
        benchmark::RunSpecifiedBenchmarks(&collector);
        Figures one = collector.Get("records/real_time/threads:1");
        Figures eight = collector.Get("records/real_time/threads:8");
        std::printf("RESULT %.1f %.2f %.1f %.2f %ld\n", one.rate, one.cpu_ns, eight.rate,
                    eight.cpu_ns, Rotations());
    });
    std::printf("== %s\n%s", title, result.err.c_str());  // the benchmark's context
    Rates rates;
    long rotations = -1;
    for (size_t at = 0, end; (end = result.out.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = result.out.substr(at, end - at);
        if (std::sscanf(line.c_str(), "RESULT %lf %lf %lf %lf %ld", &rates.one.rate,
                        &rates.one.cpu_ns, &rates.eight.rate, &rates.eight.cpu_ns,
                        &rotations) != 5)
            std::printf("%s\n", line.c_str());
    }
    if (result.exit_code != 0) {
        std::fprintf(stderr, "benchmark child failed: exit %d, signal %d%s\n", result.exit_code,
                     result.signal, result.timed_out ? ", timed out" : "");
        return Rates{};
    }
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
