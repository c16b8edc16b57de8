// SPDX-License-Identifier: Apache-2.0
// Timing helpers shared by the benchmark programs of bench/: the median of a
// set of timings, a candidate and its baseline timed in alternating rounds,
// the command line of the programs on the simulated platform, and, for the
// programs driven by Google Benchmark in sandboxed children, the reporter
// that keeps each benchmark's median and the reading of the child's figures.
// Header only and stateless: any thread of a benchmark program may call it;
// each object belongs to its caller.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The middle timing (the upper one of an even count); NaN for none, so that
// an empty set shows in the figures instead of reading past the end.
inline double Median(std::vector<double> v) {
    if (v.empty()) return std::numeric_limits<double>::quiet_NaN();
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// Calls candidate(round) and baseline(round), each returning the seconds it
// measured, in `rounds` rounds with the order swapped every round, so that
// drift of the machine hits both alike and neither profits from caches the
// other warmed.  Google Benchmark's repetitions run one benchmark to the end
// before the next, hence this loop.  Returns the medians {candidate, baseline}.
template <typename Candidate, typename Baseline>
std::pair<double, double> Alternate(int rounds, Candidate&& candidate, Baseline&& baseline) {
    std::vector<double> c, b;
    for (int r = 0; r < rounds; ++r) {
        if (r % 2 == 0) {
            c.push_back(candidate(r));
            b.push_back(baseline(r));
        } else {
            b.push_back(baseline(r));
            c.push_back(candidate(r));
        }
    }
    return {Median(c), Median(b)};
}

// The command line of the programs on the simulated platform:
// [--quick] [directory for the test files, default /var/tmp].
struct SimArgs {
    bool quick = false;
    std::string dir = "/var/tmp";

    static SimArgs Parse(int argc, char** argv) {
        SimArgs args;
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--quick") == 0) args.quick = true;
            else args.dir = argv[i];
        }
        return args;
    }
};

// Google Benchmark's console output (tabular, without colour codes, since a
// parent captures it), keeping for every benchmark name what `extract` takes
// from its runs: the median aggregate with --benchmark_repetitions, otherwise
// the single run.  `extract` returns nothing for runs that do not count.
template <typename Figures>
class MedianReporter : public benchmark::ConsoleReporter {
public:
    using Extract = std::optional<Figures> (*)(const Run&);
    explicit MedianReporter(Extract extract) : ConsoleReporter(OO_Tabular), extract_(extract) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            std::optional<Figures> f = extract_(run);
            if (!f) continue;
            if (run.run_type != Run::RT_Aggregate)
                single_[run.run_name.str()] = *f;
            else if (run.aggregate_name == "median")
                median_[run.run_name.str()] = *f;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Figures{} when no such benchmark ran.
    Figures Get(const std::string& name) const {
        auto m = median_.find(name);
        if (m != median_.end()) return m->second;
        auto s = single_.find(name);
        return s != single_.end() ? s->second : Figures{};
    }

private:
    Extract extract_;
    std::map<std::string, Figures> median_, single_;
};

// A sandboxed child (tests/sandbox.h) reports its figures on one output line
// "RESULT <figures>".  Prints the title, the child's context (its standard
// error) and the rest of its output; returns the figures, or nothing (with
// the reason on standard error) when the child failed or gave none.  Where
// the kernel refuses the child its sandbox, the program ends with exit status
// 77 (skipped); the sandbox has said why.
template <typename ChildResult>
std::optional<std::string> ChildFigures(const char* title, const ChildResult& result) {
    static constexpr std::string_view kTag = "RESULT ";
    if (result.skipped) std::exit(77);
    std::printf("== %s\n%s", title, result.err.c_str());
    std::optional<std::string> figures;
    for (size_t at = 0, end; (end = result.out.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = result.out.substr(at, end - at);
        if (line.compare(0, kTag.size(), kTag) == 0)
            figures = line.substr(kTag.size());
        else
            std::printf("%s\n", line.c_str());
    }
    if (result.exit_code != 0 || !figures) {
        std::fprintf(stderr, "benchmark child failed: exit %d, signal %d%s%s\n", result.exit_code,
                     result.signal, result.timed_out ? ", timed out" : "",
                     figures ? "" : ", no RESULT line");
        return std::nullopt;
    }
    return figures;
}

}  // namespace bench
