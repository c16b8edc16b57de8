// SPDX-License-Identifier: Apache-2.0
#include "stats.h"

#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <cpuid.h>
#include <x86intrin.h>
#endif

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

namespace stats {

std::atomic<int> state{-1};

namespace {

// ---- Settings ---------------------------------------------------------------------
// Written once by set_up under the registry mutex, before `state` is
// published with release ordering; read by the summary after an acquire load.
enum class format_t { text, json };
format_t format = format_t::text;
bool to_stderr = false;
char path_template[4096];  // DGFILE_STATS when it names a file

// Whether `text` is a usable path template: "%p" (the process id) and "%%"
// are the only directives.
bool valid_template(const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '%') continue;
        if (p[1] != 'p' && p[1] != '%') return false;
        ++p;
    }
    return true;
}

// ---- The callback clock ----------------------------------------------------------------
// Ticks per microsecond, measured by set_up; 1000 when ticks are nanoseconds.
double ticks_per_us = 1000.0;
bool cycle_counter = false;

std::uint64_t monotonic_ns() {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

#if defined(__x86_64__)
std::uint64_t read_counter() { return __rdtsc(); }
// Only an invariant counter ticks at one rate on every core and in every
// power state.
bool counter_usable() {
    unsigned eax, ebx, ecx, edx;
    return __get_cpuid(0x80000007, &eax, &ebx, &ecx, &edx) != 0 && (edx & (1u << 8)) != 0;
}
#elif defined(__aarch64__)
std::uint64_t read_counter() {
    std::uint64_t value;
    asm volatile("isb; mrs %0, cntvct_el0" : "=r"(value));
    return value;
}
bool counter_usable() { return true; }
#else
std::uint64_t read_counter() { return monotonic_ns(); }
bool counter_usable() { return false; }
#endif

// The counter's rate against the monotonic clock, over 200 microseconds:
// precise enough for power-of-two latency buckets, paid once per process.
void calibrate_clock() {
    if (!counter_usable()) return;
    const std::uint64_t ns0 = monotonic_ns(), t0 = read_counter();
    std::uint64_t ns1, t1;
    do {
        ns1 = monotonic_ns();
        t1 = read_counter();
    } while (ns1 - ns0 < 200000);
    if (t1 <= t0) return;
    ticks_per_us = static_cast<double>(t1 - t0) * 1000.0 / static_cast<double>(ns1 - ns0);
    cycle_counter = true;
}

// ---- Counters ----------------------------------------------------------------------

constexpr unsigned kBuckets = 40;  // latency below 2^b microseconds
constexpr unsigned kErrnoSlots = 8;  // distinct refusals kept per shard
constexpr unsigned kCopied = 0, kFailed = 1;  // what followed a direct miss

using counter = std::atomic<std::uint64_t>;

// Written only by the shard's owner: a load and a store, no locked
// instruction.  The summary reads with relaxed loads.
inline void bump(counter& c, std::uint64_t n = 1) {
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

struct refusal_t {
    std::atomic<int> error{0};  // 0: slot unused
    counter followed[2];
};

struct shard_t {
    counter transfers[kPaths];
    counter bytes[kPaths];
    counter microseconds[kPaths];
    counter latency[kPaths][kBuckets];
    counter callback_failures;
    counter missed[kMisses][2];  // driver refusals are in `refused` instead
    refusal_t refused[kErrnoSlots];
    counter refused_other[2];  // refusals beyond the slots
    counter cpu_failures[kCpuFailures];
    counter handles_registered, handles_deregistered;
    counter batches, requests, cancellations;
    counter device_opened, device_closed;

    shard_t* next = nullptr;       // every shard ever made; guarded by the registry mutex
    shard_t* next_free = nullptr;  // shards without an owner thread
};

// The registry: shards are never freed, so the summary can always add them
// up; a thread that ends hands its shard to the free list, and the next
// thread that counts takes it over.
std::mutex registry_mutex;
shard_t* all_shards = nullptr;
shard_t* free_shards = nullptr;

// The process-wide count of batch requests in flight and its peak: the only
// shared counters, touched once per batch request, never per transfer.
std::atomic<std::int64_t> in_flight{0};
std::atomic<std::int64_t> most_in_flight{0};

thread_local shard_t* mine = nullptr;

void release_shard(shard_t* shard) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    shard->next_free = free_shards;
    free_shards = shard;
}

// Gives the shard back when its thread ends.
struct shard_owner_t {
    shard_t* shard = nullptr;
    ~shard_owner_t() {
        if (shard == nullptr) return;
        mine = nullptr;
        release_shard(shard);
    }
};

__attribute__((noinline)) shard_t* acquire_shard() {
    shard_t* shard = nullptr;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        if (free_shards != nullptr) {
            shard = free_shards;
            free_shards = shard->next_free;
        }
    }
    if (shard == nullptr) {
        shard = new (std::nothrow) shard_t();
        if (shard == nullptr) return nullptr;
        std::lock_guard<std::mutex> lock(registry_mutex);
        shard->next = all_shards;
        all_shards = shard;
    }
    static thread_local shard_owner_t owner;
    owner.shard = shard;
    mine = shard;
    return shard;
}

inline shard_t* my_shard() { return mine != nullptr ? mine : acquire_shard(); }

unsigned bucket_of(std::uint64_t us) {
    const unsigned b = us == 0 ? 0 : 64 - static_cast<unsigned>(__builtin_clzll(us));
    return b < kBuckets ? b : kBuckets - 1;
}

// ---- The summary -----------------------------------------------------------------------

struct path_sum_t {
    std::uint64_t transfers = 0, bytes = 0, microseconds = 0;
    std::uint64_t latency[kBuckets] = {};
};

struct refusal_sum_t {
    int error = 0;  // 0: beyond the shards' slots ("other")
    std::uint64_t followed[2] = {};
};

struct totals_t {
    path_sum_t paths[kPaths];
    std::uint64_t callback_failures = 0;
    std::uint64_t missed[kMisses][2] = {};
    static constexpr unsigned kMaxRefusals = 64;
    refusal_sum_t refused[kMaxRefusals];
    unsigned refusals = 0;
    std::uint64_t cpu_failures[kCpuFailures] = {};
    std::uint64_t handles_registered = 0, handles_deregistered = 0;
    std::uint64_t batches = 0, requests = 0, cancellations = 0;
    std::int64_t most_in_flight = 0;
    std::uint64_t device_opened = 0, device_closed = 0;

    // Refusals are listed by errno; 0 collects those beyond the shards' slots.
    void add_refusal(int error, const counter* followed) {
        const std::uint64_t copied = followed[kCopied].load(std::memory_order_relaxed);
        const std::uint64_t failed = followed[kFailed].load(std::memory_order_relaxed);
        if (copied + failed == 0) return;
        unsigned i = 0;
        while (i < refusals && refused[i].error != error) ++i;
        if (i == refusals) {
            if (refusals == kMaxRefusals) {  // fold into the last entry
                i = kMaxRefusals - 1;
                refused[i].error = 0;
            } else {
                refused[refusals++].error = error;
            }
        }
        refused[i].followed[kCopied] += copied;
        refused[i].followed[kFailed] += failed;
    }
};

// REQUIRES: registry_mutex held.
void add_shard(totals_t& t, const shard_t& s) {
    auto get = [](const counter& c) { return c.load(std::memory_order_relaxed); };
    for (unsigned p = 0; p < kPaths; ++p) {
        t.paths[p].transfers += get(s.transfers[p]);
        t.paths[p].bytes += get(s.bytes[p]);
        t.paths[p].microseconds += get(s.microseconds[p]);
        for (unsigned b = 0; b < kBuckets; ++b) t.paths[p].latency[b] += get(s.latency[p][b]);
    }
    t.callback_failures += get(s.callback_failures);
    for (unsigned m = 0; m < kMisses; ++m)
        for (unsigned f = 0; f < 2; ++f) t.missed[m][f] += get(s.missed[m][f]);
    for (const refusal_t& r : s.refused) {
        const int error = r.error.load(std::memory_order_relaxed);
        if (error != 0) t.add_refusal(error, r.followed);
    }
    t.add_refusal(0, s.refused_other);
    for (unsigned f = 0; f < kCpuFailures; ++f) t.cpu_failures[f] += get(s.cpu_failures[f]);
    t.handles_registered += get(s.handles_registered);
    t.handles_deregistered += get(s.handles_deregistered);
    t.batches += get(s.batches);
    t.requests += get(s.requests);
    t.cancellations += get(s.cancellations);
    t.device_opened += get(s.device_opened);
    t.device_closed += get(s.device_closed);
}

totals_t gather() {
    totals_t t;
    std::lock_guard<std::mutex> lock(registry_mutex);
    for (const shard_t* s = all_shards; s != nullptr; s = s->next) add_shard(t, *s);
    t.most_in_flight = most_in_flight.load(std::memory_order_relaxed);
    return t;
}

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

// The exclusive upper bound, in microseconds, of the bucket holding the
// given fraction of the transfers; 0 when there are none.
std::uint64_t percentile(const path_sum_t& p, double fraction) {
    if (p.transfers == 0) return 0;
    const auto rank = static_cast<std::uint64_t>(fraction * static_cast<double>(p.transfers - 1));
    std::uint64_t seen = 0;
    for (unsigned b = 0; b < kBuckets; ++b) {
        seen += p.latency[b];
        if (seen > rank) return std::uint64_t{1} << b;
    }
    return std::uint64_t{1} << (kBuckets - 1);
}

std::string errno_name(int error) {
    if (error == 0) return "other";
    const char* name = ::strerrorname_np(error);
    return name != nullptr ? name : std::to_string(error);
}

// printf into a growing string.
void append(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void append(std::string& out, const char* fmt, ...) {
    char line[512];
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    if (n > 0) out.append(line, static_cast<std::size_t>(n) < sizeof line ? n : sizeof line - 1);
}

// "98.7 % of bytes moved by the direct path; 12 transfers fell back: driver
// refused (EINVAL) 12" and, when some failed, what they failed on.
std::string verdict(const totals_t& t) {
    std::uint64_t all = 0;
    for (const path_sum_t& p : t.paths) all += p.bytes;
    std::string out;
    if (all == 0)
        out = "no bytes moved";
    else
        append(out, "%.1f %% of bytes moved by the direct path",
               100.0 * static_cast<double>(t.paths[0].bytes) / static_cast<double>(all));
    std::string reasons;
    std::uint64_t fell_back = 0;
    auto reason = [&reasons](const std::string& name, std::uint64_t n) {
        if (n == 0) return;
        append(reasons, "%s%s %" PRIu64, reasons.empty() ? "" : ", ", name.c_str(), n);
    };
    for (unsigned m = 0; m < kMisses; ++m) {
        if (m == static_cast<unsigned>(miss_t::refused)) {
            for (unsigned i = 0; i < t.refusals; ++i) {
                fell_back += t.refused[i].followed[kCopied];
                reason("driver refused (" + errno_name(t.refused[i].error) + ")",
                       t.refused[i].followed[kCopied]);
            }
            continue;
        }
        fell_back += t.missed[m][kCopied];
        reason(kMissNames[m], t.missed[m][kCopied]);
    }
    if (fell_back == 0)
        out += "; no transfer fell back";
    else
        append(out, "; %" PRIu64 " transfer%s fell back: %s", fell_back, fell_back == 1 ? "" : "s",
               reasons.c_str());
    std::string failures;
    std::uint64_t failed = 0;
    for (unsigned f = 0; f < kCpuFailures; ++f) {
        failed += t.cpu_failures[f];
        if (t.cpu_failures[f] != 0)
            append(failures, "%s%s %" PRIu64, failures.empty() ? "" : ", ", kCpuFailureNames[f],
                   t.cpu_failures[f]);
    }
    if (failed != 0)
        append(out, "; %" PRIu64 " failed: %s", failed, failures.c_str());
    return out;
}

std::string text_summary(const totals_t& t, int pid) {
    std::string out;
    append(out, "dgfile statistics, process %d\n", pid);
    append(out, "  %-10s %10s %16s %11s %12s %12s\n", "path", "transfers", "bytes", "seconds",
           "p50", "p99");
    for (unsigned p = 0; p < kPaths; ++p) {
        const path_sum_t& s = t.paths[p];
        char p50[32] = "-", p99[32] = "-";
        if (s.transfers != 0) {
            std::snprintf(p50, sizeof p50, "< %" PRIu64 " us", percentile(s, 0.50));
            std::snprintf(p99, sizeof p99, "< %" PRIu64 " us", percentile(s, 0.99));
        }
        append(out, "  %-10s %10" PRIu64 " %16" PRIu64 " %11.3f %12s %12s\n", kPathNames[p],
               s.transfers, s.bytes, static_cast<double>(s.microseconds) / 1e6, p50, p99);
    }
    if (t.callback_failures != 0)
        append(out, "  callbacks that returned a failure: %" PRIu64 "\n", t.callback_failures);
    append(out, "  %-42s %13s %13s\n", "direct attempts that did not complete", "then CPU copy",
           "then failure");
    bool any = false;
    auto row = [&](const std::string& name, const std::uint64_t* followed) {
        if (followed[kCopied] + followed[kFailed] == 0) return;
        any = true;
        append(out, "    %-40s %13" PRIu64 " %13" PRIu64 "\n", name.c_str(), followed[kCopied],
               followed[kFailed]);
    };
    for (unsigned m = 0; m < kMisses; ++m) {
        if (m != static_cast<unsigned>(miss_t::refused)) {
            row(kMissNames[m], t.missed[m]);
            continue;
        }
        for (unsigned i = 0; i < t.refusals; ++i)
            row(std::string("driver refused (") + errno_name(t.refused[i].error) + ")",
                t.refused[i].followed);
    }
    if (!any) out += "    none\n";
    std::string failures;
    for (unsigned f = 0; f < kCpuFailures; ++f)
        if (t.cpu_failures[f] != 0)
            append(failures, "%s%s %" PRIu64, failures.empty() ? "" : ", ", kCpuFailureNames[f],
                   t.cpu_failures[f]);
    append(out, "  CPU copies that failed: %s\n", failures.empty() ? "none" : failures.c_str());
    append(out, "  handles: %" PRIu64 " registered, %" PRIu64 " deregistered\n",
           t.handles_registered, t.handles_deregistered);
    append(out,
           "  batches: %" PRIu64 " submitted, %" PRIu64 " requests, %" PRIu64
           " cancellations, at most %" PRId64 " requests in flight\n",
           t.batches, t.requests, t.cancellations, t.most_in_flight);
    append(out, "  device connection: %" PRIu64 " opened, %" PRIu64 " closed\n", t.device_opened,
           t.device_closed);
    out += "  " + verdict(t) + "\n";
    return out;
}

std::string json_summary(const totals_t& t, int pid) {
    std::string out;
    append(out, "{\"process\":%d,\"paths\":{", pid);
    for (unsigned p = 0; p < kPaths; ++p) {
        const path_sum_t& s = t.paths[p];
        append(out,
               "%s\"%s\":{\"transfers\":%" PRIu64 ",\"bytes\":%" PRIu64
               ",\"microseconds\":%" PRIu64 ",\"p50_us_under\":%" PRIu64
               ",\"p99_us_under\":%" PRIu64 ",\"latency_us_under_2_pow\":[",
               p == 0 ? "" : ",", kPathKeys[p], s.transfers, s.bytes, s.microseconds,
               percentile(s, 0.50), percentile(s, 0.99));
        for (unsigned b = 0; b < kBuckets; ++b)
            append(out, "%s%" PRIu64, b == 0 ? "" : ",", s.latency[b]);
        out += "]";
        if (p == static_cast<unsigned>(path_t::callback))
            append(out, ",\"failed\":%" PRIu64, t.callback_failures);
        out += "}";
    }
    out += "},\"direct_misses\":[";
    bool first = true;
    auto miss = [&](const char* key, int error, const std::uint64_t* followed) {
        append(out, "%s{\"reason\":\"%s\"", first ? "" : ",", key);
        first = false;
        if (error >= 0)
            append(out, ",\"errno\":%d,\"errno_name\":\"%s\"", error, errno_name(error).c_str());
        append(out, ",\"then_cpu_copy\":%" PRIu64 ",\"then_failure\":%" PRIu64 "}",
               followed[kCopied], followed[kFailed]);
    };
    for (unsigned m = 0; m < kMisses; ++m) {
        if (m != static_cast<unsigned>(miss_t::refused)) {
            miss(kMissKeys[m], -1, t.missed[m]);
            continue;
        }
        for (unsigned i = 0; i < t.refusals; ++i)
            miss(kMissKeys[m], t.refused[i].error, t.refused[i].followed);
    }
    out += "],\"cpu_copy_failures\":{";
    for (unsigned f = 0; f < kCpuFailures; ++f)
        append(out, "%s\"%s\":%" PRIu64, f == 0 ? "" : ",", kCpuFailureKeys[f], t.cpu_failures[f]);
    append(out,
           "},\"handles\":{\"registered\":%" PRIu64 ",\"deregistered\":%" PRIu64
           "},\"batches\":{\"submitted\":%" PRIu64 ",\"requests\":%" PRIu64
           ",\"cancellations\":%" PRIu64 ",\"max_in_flight\":%" PRId64
           "},\"device_connection\":{\"opened\":%" PRIu64 ",\"closed\":%" PRIu64 "}",
           t.handles_registered, t.handles_deregistered, t.batches, t.requests, t.cancellations,
           t.most_in_flight, t.device_opened, t.device_closed);
    std::uint64_t all = 0;
    for (const path_sum_t& p : t.paths) all += p.bytes;
    append(out, ",\"direct_byte_percent\":%.1f,\"verdict\":\"%s\"}\n",
           all == 0 ? 0.0 : 100.0 * static_cast<double>(t.paths[0].bytes) / static_cast<double>(all),
           verdict(t).c_str());
    return out;
}

std::string expand_template(int pid) {
    std::string path;
    for (const char* p = path_template; *p != '\0'; ++p) {
        if (*p == '%' && p[1] == 'p') {
            path += std::to_string(pid);
            ++p;
        } else if (*p == '%' && p[1] == '%') {
            path += '%';
            ++p;
        } else {
            path += *p;
        }
    }
    return path;
}

void write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR) continue;
        else break;
    }
}

// Once per process (a forked child writes its own): at exit or unload.
std::atomic<bool> written{false};

void write_summary() {
    if (state.load(std::memory_order_acquire) != 1 || written.exchange(true)) return;
    const int pid = static_cast<int>(::getpid());
    const totals_t t = gather();
    const std::string text = format == format_t::json ? json_summary(t, pid) : text_summary(t, pid);
    if (to_stderr) {
        std::fflush(stderr);
        write_all(STDERR_FILENO, text);
        return;
    }
    const std::string path = expand_template(pid);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "dgfile: cannot write statistics to %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return;
    }
    write_all(fd, text);
    ::close(fd);
}

__attribute__((destructor)) void summary_at_exit() {
    try {
        write_summary();
    } catch (...) {
        // Out of memory while formatting: nothing to report it with.
    }
}

// ---- fork ----------------------------------------------------------------------------
// The registry mutex is held across fork so that the child never inherits it
// locked.  The child starts from zero: every shard is cleared, and every
// shard but its one thread's is free again (their owners do not exist there).
void fork_prepare() { registry_mutex.lock(); }
void fork_parent() { registry_mutex.unlock(); }
void fork_child() {
    free_shards = nullptr;
    for (shard_t* s = all_shards; s != nullptr; s = s->next) {
        shard_t* const next = s->next;
        s->~shard_t();
        new (s) shard_t();
        s->next = next;
        if (s != mine) {
            s->next_free = free_shards;
            free_shards = s;
        }
    }
    in_flight.store(0, std::memory_order_relaxed);
    most_in_flight.store(0, std::memory_order_relaxed);
    written.store(false, std::memory_order_relaxed);
    registry_mutex.unlock();
}

}  // namespace

std::uint64_t ticks() { return cycle_counter ? read_counter() : monotonic_ns(); }

std::uint64_t ticks_to_us(std::uint64_t t) {
    return static_cast<std::uint64_t>(static_cast<double>(t) / ticks_per_us);
}

bool set_up() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    int s = state.load(std::memory_order_relaxed);
    if (s >= 0) return s > 0;
    s = 0;
    const char* where = std::getenv("DGFILE_STATS");
    const char* how = std::getenv("DGFILE_STATS_FORMAT");
    if (where != nullptr && *where != '\0') {
        s = 1;
        if (how == nullptr || *how == '\0' || std::strcmp(how, "text") == 0) {
            format = format_t::text;
        } else if (std::strcmp(how, "json") == 0) {
            format = format_t::json;
        } else {
            std::fprintf(stderr,
                         "dgfile: DGFILE_STATS_FORMAT must be \"text\" or \"json\", not \"%s\": "
                         "no statistics are collected\n",
                         how);
            s = 0;
        }
        if (s == 1 && std::strcmp(where, "stderr") == 0) {
            to_stderr = true;
        } else if (s == 1 && (std::strlen(where) >= sizeof path_template ||
                              !valid_template(where))) {
            std::fprintf(stderr,
                         "dgfile: DGFILE_STATS must be \"stderr\" or a file path (\"%%p\" stands "
                         "for the process id, \"%%%%\" for \"%%\"), not \"%s\": no statistics "
                         "are collected\n",
                         where);
            s = 0;
        } else if (s == 1) {
            std::strcpy(path_template, where);
        }
    }
    if (s == 1) {
        calibrate_clock();
        ::pthread_atfork(fork_prepare, fork_parent, fork_child);
    }
    state.store(s, std::memory_order_release);
    return s > 0;
}

void transfer(path_t path, std::uint64_t bytes, std::uint64_t us) {
    shard_t* s = my_shard();
    if (s == nullptr) return;
    const auto p = static_cast<unsigned>(path);
    bump(s->transfers[p]);
    bump(s->bytes[p], bytes);
    bump(s->microseconds[p], us);
    bump(s->latency[p][bucket_of(us)]);
}

void callback_failed() {
    if (shard_t* s = my_shard()) bump(s->callback_failures);
}

void direct_missed(miss_t why, int error, bool copied) {
    shard_t* s = my_shard();
    if (s == nullptr) return;
    const unsigned f = copied ? kCopied : kFailed;
    if (why != miss_t::refused) {
        bump(s->missed[static_cast<unsigned>(why)][f]);
        return;
    }
    for (refusal_t& r : s->refused) {
        const int seen = r.error.load(std::memory_order_relaxed);
        if (seen == 0 && error != 0) r.error.store(error, std::memory_order_relaxed);
        if (seen == 0 ? error != 0 : seen == error) {
            bump(r.followed[f]);
            return;
        }
    }
    bump(s->refused_other[f]);
}

void cpu_failed(cpu_fail_t why) {
    if (shard_t* s = my_shard()) bump(s->cpu_failures[static_cast<unsigned>(why)]);
}

void handle_registered() {
    if (shard_t* s = my_shard()) bump(s->handles_registered);
}

void handle_deregistered() {
    if (shard_t* s = my_shard()) bump(s->handles_deregistered);
}

void batch_submitted(unsigned requests) {
    if (shard_t* s = my_shard()) {
        bump(s->batches);
        bump(s->requests, requests);
    }
    const std::int64_t now =
        in_flight.fetch_add(requests, std::memory_order_relaxed) + static_cast<std::int64_t>(requests);
    std::int64_t most = most_in_flight.load(std::memory_order_relaxed);
    while (now > most &&
           !most_in_flight.compare_exchange_weak(most, now, std::memory_order_relaxed)) {
    }
}

void request_finished() { in_flight.fetch_sub(1, std::memory_order_relaxed); }

void batch_cancelled() {
    if (shard_t* s = my_shard()) bump(s->cancellations);
}

void device_opened() {
    if (shard_t* s = my_shard()) bump(s->device_opened);
}

void device_closed() {
    if (shard_t* s = my_shard()) bump(s->device_closed);
}

}  // namespace stats
