// SPDX-License-Identifier: Apache-2.0
#include "stats_report.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "safe_open.h"
#include "settings.h"

namespace stats {

namespace {

const char* const kPathNames[kPaths] = {"direct", "CPU copy", "callbacks"};
const char* const kPathKeys[kPaths] = {"direct", "cpu_copy", "callbacks"};
const char* const kMissNames[kMisses] = {"no device connection", "pointer unknown to the runtime",
                                         "driver refused", "driver moved 0 bytes"};
const char* const kMissKeys[kMisses] = {"no_device", "unknown_pointer", "driver_refused",
                                        "zero_bytes"};
const char* const kCpuFailureNames[kCpuFailures] = {
    "device range outside its allocation", "CPU copy disabled", "flag change", "seek",
    "host buffer", "read/write", "runtime copy"};
const char* const kCpuFailureKeys[kCpuFailures] = {"outside_allocation", "disabled", "flags",
                                                   "seek", "buffer", "io", "copy"};

// printf onto the end of a string, however long the result.
void append(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void append(std::string& out, const char* fmt, ...) {
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    if (n > 0) {
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(n) + 1);
        std::vsnprintf(&out[at], static_cast<std::size_t>(n) + 1, fmt, again);
        out.resize(at + static_cast<std::size_t>(n));
    }
    va_end(again);
}

// `text` as a JSON string, quotes included.
void append_json_string(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\')
            (out += '\\') += c;
        else if (static_cast<unsigned char>(c) < 0x20)
            append(out, "\\u%04x", static_cast<unsigned>(c));
        else
            out += c;
    }
    out += '"';
}

// The exclusive upper bound, in microseconds, of the bucket holding the
// nearest-rank percentile: the ceil(percent * n / 100)-th fastest transfer.
// 0 when there are none.
std::uint64_t percentile(const path_sum_t& p, std::uint64_t percent) {
    if (p.transfers == 0) return 0;
    const std::uint64_t rank = (p.transfers * percent + 99) / 100;
    std::uint64_t seen = 0;
    for (unsigned b = 0; b < kBuckets; ++b) {
        seen += p.latency[b];
        if (seen >= rank) return std::uint64_t{1} << b;
    }
    return std::uint64_t{1} << (kBuckets - 1);
}

std::string errno_name(int error) {
    const char* name = ::strerrorname_np(error);
    return name != nullptr ? name : std::to_string(error);
}

void add_miss_rows(report_t& r) {
    const totals_t& t = r.totals;
    for (unsigned m = 0; m < kMisses; ++m) {
        if (m != static_cast<unsigned>(miss_t::refused)) {
            r.misses.push_back({kMissNames[m], kMissKeys[m], -1, {}, {}});
            std::copy(t.missed[m], t.missed[m] + 2, r.misses.back().followed);
            continue;
        }
        for (const refusal_sum_t& refusal : t.refusals) {
            const std::string name = errno_name(refusal.error);
            r.misses.push_back({std::string(kMissNames[m]) + " (" + name + ")", kMissKeys[m],
                                refusal.error, name, {}});
            std::copy(refusal.followed, refusal.followed + 2, r.misses.back().followed);
        }
    }
}

// "seek 1, read/write 2": the CPU copy failures that happened; empty if none.
std::string failure_list(const report_t& r) {
    std::string list;
    for (const cpu_failure_row_t& f : r.cpu_failures)
        if (f.count != 0)
            append(list, "%s%s %" PRIu64, list.empty() ? "" : ", ", f.name, f.count);
    return list;
}

std::string verdict(const report_t& r, bool bytes_moved) {
    std::string out;
    if (!bytes_moved)
        out = "no bytes moved";
    else
        append(out, "%.1f %% of bytes moved by the direct path", r.direct_byte_percent);
    std::string reasons;
    std::uint64_t fell_back = 0;
    for (const miss_row_t& m : r.misses) {
        if (m.followed[kCopied] == 0) continue;
        fell_back += m.followed[kCopied];
        append(reasons, "%s%s %" PRIu64, reasons.empty() ? "" : ", ", m.name.c_str(),
               m.followed[kCopied]);
    }
    if (fell_back == 0)
        out += "; no transfer fell back";
    else
        append(out, "; %" PRIu64 " transfer%s fell back: %s", fell_back, fell_back == 1 ? "" : "s",
               reasons.c_str());
    std::uint64_t failed = 0;
    for (const cpu_failure_row_t& f : r.cpu_failures) failed += f.count;
    if (failed != 0) append(out, "; %" PRIu64 " failed: %s", failed, failure_list(r).c_str());
    return out;
}

}  // namespace

report_t build_report(totals_t totals, int pid) {
    report_t r;
    r.pid = pid;
    r.totals = std::move(totals);
    const totals_t& t = r.totals;
    std::uint64_t all = 0;
    for (unsigned p = 0; p < kPaths; ++p) {
        r.paths[p] = {kPathNames[p], kPathKeys[p], t.paths[p], percentile(t.paths[p], 50),
                      percentile(t.paths[p], 99)};
        all += t.paths[p].bytes;
    }
    add_miss_rows(r);
    for (unsigned f = 0; f < kCpuFailures; ++f)
        r.cpu_failures[f] = {kCpuFailureNames[f], kCpuFailureKeys[f], t.cpu_failures[f]};
    const auto direct = static_cast<unsigned>(path_t::direct);
    if (all != 0)
        r.direct_byte_percent =
            100.0 * static_cast<double>(t.paths[direct].bytes) / static_cast<double>(all);
    r.verdict = verdict(r, all != 0);
    return r;
}

std::string text_summary(const report_t& r) {
    std::string out;
    append(out, "dgfile statistics, process %d\n", r.pid);
    append(out, "  %-10s %10s %16s %11s %12s %12s\n", "path", "transfers", "bytes", "seconds",
           "p50", "p99");
    for (const path_row_t& p : r.paths) {
        std::string p50 = "-", p99 = "-";
        if (p.sum.transfers != 0) {
            p50.clear();
            p99.clear();
            append(p50, "< %" PRIu64 " us", p.p50);
            append(p99, "< %" PRIu64 " us", p.p99);
        }
        append(out, "  %-10s %10" PRIu64 " %16" PRIu64 " %11.3f %12s %12s\n", p.name,
               p.sum.transfers, p.sum.bytes, static_cast<double>(p.sum.microseconds) / 1e6,
               p50.c_str(), p99.c_str());
    }
    const totals_t& t = r.totals;
    if (t.callback_failures != 0)
        append(out, "  callbacks that returned a failure: %" PRIu64 "\n", t.callback_failures);
    append(out, "  %-42s %13s %13s\n", "direct attempts that did not complete", "then CPU copy",
           "then failure");
    bool any = false;
    for (const miss_row_t& m : r.misses) {
        if (m.followed[kCopied] + m.followed[kFailed] == 0) continue;
        any = true;
        append(out, "    %-40s %13" PRIu64 " %13" PRIu64 "\n", m.name.c_str(),
               m.followed[kCopied], m.followed[kFailed]);
    }
    if (!any) out += "    none\n";
    const std::string failures = failure_list(r);
    append(out, "  CPU copies that failed: %s\n", failures.empty() ? "none" : failures.c_str());
    append(out, "  handles: %" PRIu64 " registered, %" PRIu64 " deregistered\n",
           t.handles_registered, t.handles_deregistered);
    append(out,
           "  batches: %" PRIu64 " submitted, %" PRIu64 " requests, %" PRIu64
           " cancellations, at most %" PRId64 " requests in flight\n",
           t.batches, t.requests, t.cancellations, t.most_in_flight);
    append(out, "  device connection: %" PRIu64 " opened, %" PRIu64 " closed\n", t.device_opened,
           t.device_closed);
    out += "  " + r.verdict + "\n";
    return out;
}

namespace {

void json_paths(std::string& out, const report_t& r) {
    out += "\"paths\":{";
    for (unsigned p = 0; p < kPaths; ++p) {
        const path_row_t& row = r.paths[p];
        append(out,
               "%s\"%s\":{\"transfers\":%" PRIu64 ",\"bytes\":%" PRIu64
               ",\"microseconds\":%" PRIu64 ",\"p50_us_under\":%" PRIu64
               ",\"p99_us_under\":%" PRIu64 ",\"latency_us_under_2_pow\":[",
               p == 0 ? "" : ",", row.key, row.sum.transfers, row.sum.bytes,
               row.sum.microseconds, row.p50, row.p99);
        for (unsigned b = 0; b < kBuckets; ++b)
            append(out, "%s%" PRIu64, b == 0 ? "" : ",", row.sum.latency[b]);
        out += "]";
        if (p == static_cast<unsigned>(path_t::callback))
            append(out, ",\"failed\":%" PRIu64, r.totals.callback_failures);
        out += "}";
    }
    out += "}";
}

void json_misses(std::string& out, const report_t& r) {
    out += "\"direct_misses\":[";
    bool first = true;
    for (const miss_row_t& m : r.misses) {
        // A refusal has a row only when it happened.
        if (m.error >= 0 && m.followed[kCopied] + m.followed[kFailed] == 0) continue;
        append(out, "%s{\"reason\":", first ? "" : ",");
        append_json_string(out, m.key);
        first = false;
        if (m.error >= 0) {
            append(out, ",\"errno\":%d,\"errno_name\":", m.error);
            append_json_string(out, m.error_name);
        }
        append(out, ",\"then_cpu_copy\":%" PRIu64 ",\"then_failure\":%" PRIu64 "}",
               m.followed[kCopied], m.followed[kFailed]);
    }
    out += "]";
}

}  // namespace

std::string json_summary(const report_t& r) {
    std::string out;
    append(out, "{\"process\":%d,", r.pid);
    json_paths(out, r);
    out += ",";
    json_misses(out, r);
    out += ",\"cpu_copy_failures\":{";
    for (unsigned f = 0; f < kCpuFailures; ++f)
        append(out, "%s\"%s\":%" PRIu64, f == 0 ? "" : ",", r.cpu_failures[f].key,
               r.cpu_failures[f].count);
    const totals_t& t = r.totals;
    append(out,
           "},\"handles\":{\"registered\":%" PRIu64 ",\"deregistered\":%" PRIu64
           "},\"batches\":{\"submitted\":%" PRIu64 ",\"requests\":%" PRIu64
           ",\"cancellations\":%" PRIu64 ",\"max_in_flight\":%" PRId64
           "},\"device_connection\":{\"opened\":%" PRIu64 ",\"closed\":%" PRIu64 "}",
           t.handles_registered, t.handles_deregistered, t.batches, t.requests, t.cancellations,
           t.most_in_flight, t.device_opened, t.device_closed);
    append(out, ",\"direct_byte_percent\":%.1f,\"verdict\":", r.direct_byte_percent);
    append_json_string(out, r.verdict);
    out += "}\n";
    return out;
}

namespace {

void write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
}

}  // namespace

void write_summary() {
    if (!claim_summary()) return;
    const StatsSettings& s = current_settings();
    const int pid = static_cast<int>(::getpid());
    const report_t report = build_report(gather(), pid);
    const std::string text = s.json ? json_summary(report) : text_summary(report);
    if (s.to_stderr) {
        std::fflush(stderr);
        write_all(STDERR_FILENO, text);
        return;
    }
    const std::string path = expand_stats_path(s.destination, pid);
    const int fd = open_for_writing(path.c_str(), write_mode::truncate, nullptr);
    if (fd < 0) {
        std::fprintf(stderr, "dgfile: cannot write statistics to %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return;
    }
    write_all(fd, text);
    ::close(fd);
}

namespace {

__attribute__((destructor)) void summary_at_exit() {
    try {
        write_summary();
    } catch (...) {
        // Out of memory while gathering or formatting: nothing to report it with.
    }
}

}  // namespace

}  // namespace stats
