// SPDX-License-Identifier: Apache-2.0
#include "workload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "dgfile.h"
#include "dgrt.h"
#include "qrvd_sim.h"
#include "sim_control.h"
#include "units.h"

namespace dgbench {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Errno(int error) { return std::strerror(error); }

std::string Num(std::uint64_t v) { return std::to_string(v); }

const char* DgrtError(int status) {
    switch (status) {
        case dgErrorInvalidValue: return "invalid value";
        case dgErrorMemoryAllocation: return "out of device memory";
        case dgErrorInvalidDevice: return "no such device";
        case dgErrorInvalidDevicePointer: return "invalid device pointer";
        case dgErrorInvalidMemcpyDirection: return "invalid copy direction";
        default: return "unknown status";
    }
}

// pread/pwrite until all `len` bytes are moved; false on an error or end of
// file (errno 0 then).
bool FullPread(int fd, Byte* buf, std::size_t len, std::uint64_t off) {
    while (len > 0) {
        ssize_t n = ::pread(fd, buf, len, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = 0;
            return false;
        }
        buf += n;
        len -= static_cast<std::size_t>(n);
        off += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool FullPwrite(int fd, const Byte* buf, std::size_t len, std::uint64_t off) {
    while (len > 0) {
        ssize_t n = ::pwrite(fd, buf, len, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<std::size_t>(n);
        off += static_cast<std::uint64_t>(n);
    }
    return true;
}

// A bijection of [0, n) that looks random, so that random access visits each
// block once without a table of n entries: a four-round Feistel network on
// the smallest even number of bits that covers n, walked until it lands
// inside [0, n) (fewer than four steps on average).
class Permutation {
public:
    Permutation(std::uint64_t n, std::uint64_t seed) : n_(n) {
        while ((std::uint64_t{1} << (2 * half_bits_)) < n) ++half_bits_;
        std::uint64_t s = seed;
        for (auto& k : keys_) k = SplitMix(s);
    }
    std::uint64_t operator()(std::uint64_t i) const {
        if (n_ <= 1) return 0;
        do i = Round(i); while (i >= n_);
        return i;
    }

private:
    static std::uint64_t SplitMix(std::uint64_t& s) {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    std::uint64_t Round(std::uint64_t x) const {
        const std::uint64_t mask = (std::uint64_t{1} << half_bits_) - 1;
        std::uint64_t left = x >> half_bits_, right = x & mask;
        for (std::uint64_t key : keys_) {
            std::uint64_t mixed = right ^ key;
            std::uint64_t f = SplitMix(mixed) & mask;
            std::uint64_t next = left ^ f;
            left = right;
            right = next;
        }
        return (left << half_bits_) | right;
    }
    std::uint64_t n_;
    unsigned half_bits_ = 1;
    std::uint64_t keys_[4] = {};
};

// What the workers share.  The outcome fields are guarded by `mutex`; the
// counters are atomics read by the progress line.
struct RunShared {
    const RunConfig& config;
    std::uint64_t base = 0;  // file offset of the range
    std::uint64_t ios = 0;   // I/Os in the range
    Permutation order;
    int plain_fd = -1;       // the file without O_DIRECT, for the checks
    bool pattern_mode = false;
    std::uint8_t generation = 0;

    std::atomic<std::uint64_t> bytes_done{0};
    std::atomic<bool> stop{false};

    std::mutex mutex;
    std::condition_variable finished_cv;
    unsigned finished = 0;  // workers that returned
    int error_code = kExitOk;
    std::string error;

    RunShared(const RunConfig& c, std::uint64_t b, std::uint64_t n)
        : config(c), base(b), ios(n), order(n, c.seed) {}

    std::uint64_t FileOffset(std::uint64_t index) const {
        return base + (config.random ? order(index) : index) * config.io_size;
    }
    void Fail(int code, const std::string& message) {
        std::lock_guard lock(mutex);
        if (error_code == kExitOk) {
            error_code = code;
            error = message;
        }
        stop.store(true, std::memory_order_relaxed);
    }
};

// One worker thread's resources and results; touched by its thread only
// while the run goes on, by the caller before and after.
struct Worker {
    std::uint64_t first = 0, end = 0;  // its share of the I/O indices
    int fd = -1;                        // O_DIRECT descriptor (own or shared)
    bool owns_fd = false;
    DGfileHandle_t fh = nullptr;
    bool owns_handle = false;
    DGfileBatchHandle_t batch = nullptr;
    void* device = nullptr;            // depth I/Os of device memory
    std::vector<Byte> host;            // depth I/Os: pattern to write, or data read
    std::vector<Byte> file_bytes;      // one I/O: the plain read of the file
    std::vector<DGfileIOParams_t> params;
    std::vector<DGfileIOEvents_t> events;
    std::vector<std::uint64_t> latency_ns;
    Clock::duration busy{};
    std::uint64_t ios_done = 0;
    CheckResult check;
};

std::string TransferFailure(const RunShared& s, std::uint64_t off, long long got) {
    const RunConfig& c = s.config;
    const char* call = c.workload == Workload::Read ? "dgFileRead" : "dgFileWrite";
    std::string where = " at file offset " + Num(off) + " (I/O of " + Num(c.io_size) + " bytes)";
    if (got < 0) {
        std::string text = std::string(call) + " failed" + where;
        if (c.path == TransferPath::Direct)
            text += "; with --path direct there is no CPU fallback, so a request the driver "
                    "refuses fails (direct I/O needs offsets and sizes aligned to the file "
                    "system's block size)";
        return text;
    }
    return std::string(call) + " moved " + std::to_string(got) + " of " + Num(c.io_size) +
           " bytes" + where;
}

// Before a write round: the pattern of each I/O's file range, copied into
// device memory.  Untimed.
bool FillDevice(RunShared& s, Worker& w, std::uint64_t index, unsigned count) {
    const std::size_t io = s.config.io_size;
    for (unsigned j = 0; j < count; ++j)
        FillPattern(w.host.data() + j * io, io, s.FileOffset(index + j), s.generation);
    int status = dgMemcpy(w.device, w.host.data(), count * io, dgMemcpyHostToDevice);
    if (status != dgSuccess) {
        s.Fail(kExitSetup, std::string("dgMemcpy to device memory failed: ") + DgrtError(status));
        return false;
    }
    return true;
}

// After a round: every byte of its first `done` I/Os.  Reads: the device
// data against a plain read of the file (and, for a pattern file, the file
// against the pattern).  Writes: a plain read of the file against the data
// written.  Untimed.
void CheckRound(RunShared& s, Worker& w, std::uint64_t index, unsigned done) {
    const std::size_t io = s.config.io_size;
    const bool read = s.config.workload == Workload::Read;
    if (read && done > 0) {
        int status = dgMemcpy(w.host.data(), w.device, done * io, dgMemcpyDeviceToHost);
        if (status != dgSuccess) {
            s.Fail(kExitSetup, std::string("dgMemcpy from device memory failed: ") + DgrtError(status));
            return;
        }
    }
    for (unsigned j = 0; j < done; ++j) {
        std::uint64_t off = s.FileOffset(index + j);
        if (!FullPread(s.plain_fd, w.file_bytes.data(), io, off)) {
            s.Fail(kExitSetup, "plain read of " + s.config.file + " at offset " + Num(off) +
                                   " for the check failed: " +
                                   (errno ? Errno(errno) : "end of file"));
            return;
        }
        const Byte* moved = w.host.data() + j * io;
        if (read) {
            w.check.Merge(CompareBytes(moved, w.file_bytes.data(), io, off, s.pattern_mode));
            if (s.pattern_mode) {
                CheckResult content = CheckPatternOffsets(w.file_bytes.data(), io, off);
                content.bytes_checked = 0;  // the same bytes, checked a second way
                w.check.Merge(content);
            }
        } else {
            w.check.Merge(CompareBytes(w.file_bytes.data(), moved, io, off, true));
        }
    }
}

// One round of plain calls; returns the I/Os that completed.
unsigned SyncRound(RunShared& s, Worker& w, std::uint64_t index, unsigned count) {
    const std::size_t io = s.config.io_size;
    const bool read = s.config.workload == Workload::Read;
    for (unsigned j = 0; j < count; ++j) {
        std::uint64_t off = s.FileOffset(index + j);
        auto t0 = Clock::now();
        ssize_t n = read ? dgFileRead(w.fh, w.device, io, static_cast<off_t>(off),
                                      static_cast<off_t>(j * io))
                         : dgFileWrite(w.fh, w.device, io, static_cast<off_t>(off),
                                       static_cast<off_t>(j * io));
        auto t1 = Clock::now();
        if (n != static_cast<ssize_t>(io)) {
            s.Fail(kExitTransfer, TransferFailure(s, off, n));
            return j;
        }
        w.latency_ns.push_back(static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()));
    }
    return count;
}

// One batch of `count` requests, collected as they complete; each latency
// runs from the submission to the poll that handed the completion out.
// Returns the I/Os that completed with the full size.
unsigned BatchRound(RunShared& s, Worker& w, std::uint64_t index, unsigned count) {
    const std::size_t io = s.config.io_size;
    for (unsigned j = 0; j < count; ++j) {
        DGfileIOParams_t& p = w.params[j];
        p = DGfileIOParams_t{};
        p.mode = DGFILE_BATCH;
        p.u.batch.devPtr_base = w.device;
        p.u.batch.file_offset = static_cast<off_t>(s.FileOffset(index + j));
        p.u.batch.devPtr_offset = static_cast<off_t>(j * io);
        p.u.batch.size = io;
        p.fh = w.fh;
        p.opcode = s.config.workload == Workload::Read ? DGFILE_READ : DGFILE_WRITE;
        p.cookie = reinterpret_cast<void*>(static_cast<std::uintptr_t>(j) + 1);
    }
    const std::size_t latencies_before = w.latency_ns.size();
    auto t0 = Clock::now();
    DGfileError_t status = dgFileBatchIOSubmit(w.batch, count, w.params.data(), 0);
    if (status.err != DG_FILE_SUCCESS) {
        s.Fail(kExitTransfer, "dgFileBatchIOSubmit refused a batch of " + Num(count) +
                                  " requests: status " + std::to_string(status.err));
        return 0;
    }
    unsigned collected = 0, good = 0;
    bool failed = false;
    while (collected < count) {
        unsigned nr = count - collected;
        status = dgFileBatchIOGetStatus(w.batch, 1, &nr, w.events.data(), nullptr);
        auto t1 = Clock::now();
        if (status.err != DG_FILE_SUCCESS || nr == 0) {
            // Nothing more will come; the batch handle's destruction waits
            // for whatever still runs.
            s.Fail(kExitTransfer, "dgFileBatchIOGetStatus failed: status " + std::to_string(status.err));
            w.latency_ns.resize(latencies_before);
            return 0;
        }
        for (unsigned e = 0; e < nr; ++e) {
            const DGfileIOEvents_t& ev = w.events[e];
            auto j = reinterpret_cast<std::uintptr_t>(ev.cookie);
            if (j < 1 || j > count) {
                s.Fail(kExitTransfer, "a batch completion carries an unknown cookie");
                failed = true;
                continue;
            }
            std::uint64_t off = s.FileOffset(index + j - 1);
            auto ret = static_cast<ssize_t>(ev.ret);
            if (ev.status != DGFILE_COMPLETE || ret != static_cast<ssize_t>(io)) {
                if (!failed) s.Fail(kExitTransfer, TransferFailure(s, off, ret));
                failed = true;
                continue;
            }
            ++good;
            w.latency_ns.push_back(static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()));
        }
        collected += nr;
    }
    // A failed request spoils the round: the run stops, and neither the
    // round's transfers nor their latencies are counted.
    if (failed) {
        w.latency_ns.resize(latencies_before);
        return 0;
    }
    return good;
}

void RunWorker(RunShared& s, Worker& w, std::latch& start) {
    start.wait();
    const bool write = s.config.workload == Workload::Write;
    const unsigned depth = std::max(1u, s.config.batch_depth);
    for (std::uint64_t index = w.first; index < w.end;) {
        if (s.stop.load(std::memory_order_relaxed)) break;
        auto count = static_cast<unsigned>(std::min<std::uint64_t>(depth, w.end - index));
        if (write && !FillDevice(s, w, index, count)) break;
        auto t0 = Clock::now();
        unsigned done = s.config.batch_depth > 0 ? BatchRound(s, w, index, count)
                                                 : SyncRound(s, w, index, count);
        w.busy += Clock::now() - t0;
        w.ios_done += done;
        s.bytes_done.fetch_add(done * s.config.io_size, std::memory_order_relaxed);
        if (s.config.verify) CheckRound(s, w, index, done);
        if (done < count) break;
        index += count;
    }
    std::lock_guard lock(s.mutex);
    ++s.finished;
    s.finished_cv.notify_all();
}

// Shows "read: 1.20 GiB of 4.00 GiB (30%), 1.15 GiB/s" on standard error,
// rewritten in place, once the run has lasted a second; clears it at the end.
void WaitWithProgress(RunShared& s, unsigned workers, std::uint64_t total, Clock::time_point start) {
    std::unique_lock lock(s.mutex);
    bool shown = false;
    while (s.finished < workers) {
        s.finished_cv.wait_for(lock, std::chrono::milliseconds(250));
        if (!s.config.progress || s.finished >= workers) continue;
        double elapsed = Seconds(Clock::now() - start);
        if (elapsed < 1.0) continue;
        std::uint64_t done = s.bytes_done.load(std::memory_order_relaxed);
        std::fprintf(stderr, "\r%s: %s of %s (%.0f%%), %s/s   ", Name(s.config.workload),
                     FormatSize(done).c_str(), FormatSize(total).c_str(),
                     100.0 * static_cast<double>(done) / static_cast<double>(total),
                     FormatSize(static_cast<std::uint64_t>(static_cast<double>(done) / elapsed)).c_str());
        std::fflush(stderr);
        shown = true;
    }
    if (shown) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
}

LatencySummary Summarise(std::vector<std::uint64_t>& ns) {
    LatencySummary l;
    if (ns.empty()) return l;
    std::sort(ns.begin(), ns.end());
    long double sum = 0;
    for (std::uint64_t v : ns) sum += v;
    // Nearest-rank percentiles.
    auto rank = [&](double p) {
        auto k = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(ns.size())));
        return static_cast<double>(ns[std::max<std::size_t>(k, 1) - 1]) / 1000.0;
    };
    l.mean_us = static_cast<double>(sum / static_cast<long double>(ns.size())) / 1000.0;
    l.p50_us = rank(50);
    l.p99_us = rank(99);
    l.max_us = static_cast<double>(ns.back()) / 1000.0;
    return l;
}

// The first 4 KiB at a few places of the range, as a plain read shows them:
// if any carries the pattern, the file is taken for a pattern file.
bool LooksLikePatternFile(int fd, std::uint64_t base, std::uint64_t size) {
    Byte sample[4096];
    for (std::uint64_t at : {base, base + size / 2, base + size - std::min<std::uint64_t>(size, 4096)}) {
        at &= ~std::uint64_t{7};
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof sample, base + size - at));
        ssize_t got = ::pread(fd, sample, n, static_cast<off_t>(at));
        if (got > 0 && PatternGeneration(sample, static_cast<std::size_t>(got), at)) return true;
    }
    return false;
}

// Releases what a run set up, in the order the library needs: batches
// (their destruction waits for running requests), then file handles, then
// the memory and descriptors the transfers used.
void Release(std::vector<Worker>& workers) {
    for (Worker& w : workers) {
        if (w.batch != nullptr) dgFileBatchIODestroy(w.batch);
        w.batch = nullptr;
    }
    for (Worker& w : workers) {
        if (w.owns_handle) dgFileHandleDeregister(w.fh);
        w.fh = nullptr;
        if (w.device != nullptr) dgFree(w.device);
        w.device = nullptr;
        if (w.owns_fd) ::close(w.fd);
        w.fd = -1;
    }
}

// The part of RunWorkload after the range is known: set-up, the run, the
// figures.
void Execute(RunResult& r, RunShared& s, std::vector<Worker>& workers) {
    const RunConfig& c = r.config;
    const unsigned depth = std::max(1u, c.batch_depth);
    const int flags = (c.workload == Workload::Read ? O_RDONLY : O_WRONLY) | O_DIRECT | O_CLOEXEC;
    auto fail = [&](int code, const std::string& message) {
        r.error_code = code;
        r.error = message;
    };
    for (std::size_t t = 0; t < workers.size(); ++t) {
        Worker& w = workers[t];
        if (t == 0 || !c.shared_handle) {
            w.fd = ::open(c.file.c_str(), flags);
            if (w.fd < 0) {
                int e = errno;
                return fail(kExitSetup, c.file + ": cannot open for direct I/O: " + Errno(e) +
                                            (e == EINVAL ? " (the file system does not support "
                                                           "O_DIRECT)" : ""));
            }
            w.owns_fd = true;
            DGfileDescr_t descr{};
            descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
            descr.handle.fd = w.fd;
            DGfileError_t status = dgFileHandleRegister(&w.fh, &descr);
            if (status.err != DG_FILE_SUCCESS)
                return fail(kExitSetup, c.file + ": dgFileHandleRegister refused it: status " +
                                            std::to_string(status.err));
            w.owns_handle = true;
        } else {
            w.fd = workers[0].fd;
            w.fh = workers[0].fh;
        }
        std::uint64_t device_bytes = depth * c.io_size;
        int status = dgMalloc(&w.device, device_bytes);
        if (status != dgSuccess) {
            w.device = nullptr;
            return fail(kExitSetup, "cannot allocate " + FormatSize(device_bytes) +
                                        " of device memory: dgMalloc: " + DgrtError(status) +
                                        " (status " + std::to_string(status) + ")");
        }
        if (c.batch_depth > 0) {
            DGfileError_t b = dgFileBatchIOSetUp(&w.batch, c.batch_depth);
            if (b.err != DG_FILE_SUCCESS) {
                w.batch = nullptr;
                return fail(kExitSetup, "dgFileBatchIOSetUp failed: status " + std::to_string(b.err));
            }
        }
        try {
            w.host.resize(depth * c.io_size);
            if (c.verify) w.file_bytes.resize(c.io_size);
            w.params.resize(c.batch_depth);
            w.events.resize(c.batch_depth);
            w.latency_ns.reserve(w.end - w.first);
        } catch (const std::bad_alloc&) {
            return fail(kExitSetup, "cannot allocate " + FormatSize(depth * c.io_size) +
                                        " of host memory for the run");
        }
    }

    const bool counted = simctl::Enabled();
    qrvd_sim_counters before{}, after{};
    if (counted) simctl::GetCounters(&before);

    // The workers start together once all exist.
    std::latch start(1);
    std::vector<std::thread> threads;
    threads.reserve(workers.size());
    try {
        for (Worker& w : workers) threads.emplace_back(RunWorker, std::ref(s), std::ref(w), std::ref(start));
    } catch (const std::system_error& e) {
        // The workers that did start stop at once (stop is set); those that
        // did not count as finished.
        s.Fail(kExitSetup, std::string("cannot start a worker thread: ") + e.what());
        std::lock_guard lock(s.mutex);
        s.finished += static_cast<unsigned>(workers.size() - threads.size());
    }
    auto started = Clock::now();
    start.count_down();
    WaitWithProgress(s, static_cast<unsigned>(workers.size()), s.ios * c.io_size, started);
    for (std::thread& t : threads) t.join();
    if (counted) simctl::GetCounters(&after);

    std::vector<std::uint64_t> latencies;
    Clock::duration longest{};
    for (Worker& w : workers) {
        r.ios += w.ios_done;
        longest = std::max(longest, w.busy);
        r.check.Merge(w.check);
        latencies.insert(latencies.end(), w.latency_ns.begin(), w.latency_ns.end());
    }
    r.bytes = r.ios * c.io_size;
    r.seconds = Seconds(longest);
    r.latency = Summarise(latencies);
    if (counted) {
        // Each transfer either went through the driver (a successful request
        // that moved the whole I/O) or through the CPU fallback.  The
        // driver's byte count gives the first number exactly when every
        // successful request moved whole I/Os; otherwise it is not known.
        const bool read = c.workload == Workload::Read;
        std::uint64_t ok_requests = read ? after.reads - before.reads : after.writes - before.writes;
        std::uint64_t bytes = read ? after.bytes_read - before.bytes_read
                                   : after.bytes_written - before.bytes_written;
        std::uint64_t whole = bytes / c.io_size;
        if (bytes % c.io_size == 0 && whole <= ok_requests && whole <= r.ios) {
            r.direct = whole;
            r.fallback = r.ios - whole;
        }
    }
    std::lock_guard lock(s.mutex);
    if (s.error_code != kExitOk) {
        r.error_code = s.error_code;
        r.error = s.error;
    }
}

}  // namespace

const char* Name(Workload w) { return w == Workload::Read ? "read" : "write"; }

const char* Name(TransferPath p) {
    switch (p) {
        case TransferPath::Cpu: return "cpu";
        case TransferPath::Direct: return "direct";
        default: return "default";
    }
}

void SelectPath(TransferPath path, bool reconnect) {
    if (path == TransferPath::Cpu) ::setenv("DGFILE_DISABLE_GDS", "YES", 1);
    else ::unsetenv("DGFILE_DISABLE_GDS");
    if (path == TransferPath::Direct) ::setenv("DGFILE_DISABLE_CPU", "YES", 1);
    else ::unsetenv("DGFILE_DISABLE_CPU");
    if (reconnect) dgFileDriverClose();
}

DriverInfo SelectDriver(SimMode mode) {
    struct stat st;
    bool real = ::stat(QRVD_DEVICE_PATH, &st) == 0 && S_ISCHR(st.st_mode);
    DriverInfo info;
    switch (mode) {
        case SimMode::On:
            simctl::SetEnabled(true);
            info.reason = "--sim on";
            break;
        case SimMode::Off:
            simctl::SetEnabled(false);
            info.reason = "--sim off";
            break;
        case SimMode::Auto: {
            simctl::EnableIfNoDevice();
            const char* env = std::getenv("QRVD_SIM");
            if (env != nullptr && *env != '\0') info.reason = std::string("QRVD_SIM=") + env;
            else info.reason = real ? "a real " QRVD_DEVICE_PATH : "no " QRVD_DEVICE_PATH;
            break;
        }
    }
    info.simulated = simctl::Enabled();
    info.device_node = real;
    if (mode == SimMode::On && !info.simulated)
        info.error = "--sim on: the simulated platform's driver stand-in is not in this process "
                     "(start the installed dgfile-bench from its bin directory, which loads it)";
    // libdgfile names the GPU runtime as needed and this program the
    // application runtime: both are loaded by now.
    info.gpu_runtime = simctl::LoadedLibrary("libqrv-runtime64.so.1");
    info.app_runtime = simctl::LoadedLibrary("libdgrt.so.1");
    return info;
}

double RunResult::GiBps() const { return seconds > 0 ? static_cast<double>(bytes) / seconds / GiB : 0; }
double RunResult::MiBps() const { return seconds > 0 ? static_cast<double>(bytes) / seconds / MiB : 0; }
double RunResult::Iops() const { return seconds > 0 ? static_cast<double>(ios) / seconds : 0; }

RunResult RunWorkload(const RunConfig& config) {
    RunResult r;
    r.config = config;
    const RunConfig& c = r.config;
    r.name = !c.label.empty() ? c.label : std::string(Name(c.workload)) + "/" + Name(c.path);
    r.verified = c.verify;
    auto fail = [&](int code, const std::string& message) {
        r.error_code = code;
        r.error = message;
        return r;
    };
    if (c.io_size == 0) return fail(kExitUsage, "--io-size must be at least 1 byte");
    if (c.threads == 0) return fail(kExitUsage, "--threads must be at least 1");

    int plain = ::open(c.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (plain < 0) {
        int e = errno;
        if (e == ENOENT) return fail(kExitUsage, c.file + ": no such file (--create SIZE makes one)");
        return fail(kExitSetup, c.file + ": " + Errno(e));
    }
    std::unique_ptr<int, void (*)(int*)> plain_guard(&plain, [](int* fd) { ::close(*fd); });
    struct stat st;
    if (::fstat(plain, &st) != 0) return fail(kExitSetup, c.file + ": " + Errno(errno));
    if (!S_ISREG(st.st_mode)) return fail(kExitUsage, c.file + ": not a regular file");
    const auto file_size = static_cast<std::uint64_t>(st.st_size);

    if (c.offset > file_size)
        return fail(kExitUsage, "--offset " + Num(c.offset) + " lies beyond the end of " + c.file +
                                    " (" + Num(file_size) + " bytes)");
    std::uint64_t size = c.size;
    if (size == 0) {
        size = (file_size - c.offset) / c.io_size * c.io_size;
        if (size == 0)
            return fail(kExitUsage, c.file + " holds less than one I/O (" + Num(c.io_size) +
                                        " bytes) from offset " + Num(c.offset) + " (file size " +
                                        Num(file_size) + " bytes)");
    } else {
        if (size % c.io_size != 0)
            return fail(kExitUsage, "--size " + Num(size) + " is not a whole number of I/Os of " +
                                        Num(c.io_size) + " bytes");
        std::uint64_t end = 0;
        if (__builtin_add_overflow(c.offset, size, &end) || end > file_size)
            return fail(kExitUsage, "the range of " + Num(size) + " bytes from offset " +
                                        Num(c.offset) + " runs beyond the end of " + c.file + " (" +
                                        Num(file_size) + " bytes)");
    }
    const std::uint64_t ios = size / c.io_size;
    if (c.threads > ios)
        return fail(kExitUsage, "--threads " + std::to_string(c.threads) + " is more than the " +
                                    Num(ios) + " I/Os of the run");
    if (c.batch_depth > 0 && c.io_size > SIZE_MAX / c.batch_depth)
        return fail(kExitUsage, "--batch " + std::to_string(c.batch_depth) + " I/Os of " +
                                    Num(c.io_size) + " bytes do not fit in memory");
    r.offset = c.offset;

    RunShared s(c, c.offset, ios);
    s.plain_fd = plain;
    if (c.workload == Workload::Read) {
        s.pattern_mode = c.verify && LooksLikePatternFile(plain, c.offset, size);
        r.pattern_checked = s.pattern_mode;
    } else {
        // A generation the range does not hold yet, so that written data
        // cannot be mistaken for what was there.
        Byte first[16];
        ssize_t got = ::pread(plain, first, sizeof first, static_cast<off_t>(c.offset));
        auto old = got > 0 ? PatternGeneration(first, static_cast<std::size_t>(got), c.offset)
                           : std::nullopt;
        s.generation = static_cast<std::uint8_t>(old ? *old + 1 : 1);
        if (s.generation == 0) s.generation = 1;
    }

    std::vector<Worker> workers(c.threads);
    for (unsigned t = 0; t < c.threads; ++t) {
        workers[t].first = ios * t / c.threads;
        workers[t].end = ios * (t + 1) / c.threads;
    }
    Execute(r, s, workers);
    Release(workers);
    if (r.ok() && r.verified && !r.check.ok())
        fail(kExitMismatch, "verify: " + Num(r.check.bad_bytes) + " byte(s) differ; the first at " +
                                Describe(*r.check.first));
    return r;
}

CreateResult CreatePatternFile(const std::string& path, std::uint64_t size) {
    CreateResult out;
    if (size == 0) {
        out.error = "--create needs a size of at least 1 byte";
        return out;
    }
    constexpr std::uint64_t kBlock = 4096;
    if (size > UINT64_MAX - (kBlock - 1)) {
        out.error = "--create size is too large";
        return out;
    }
    std::uint64_t rounded = (size + kBlock - 1) / kBlock * kBlock;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        out.error = path + ": cannot create: " + Errno(errno);
        return out;
    }
    std::vector<Byte> chunk(4 * MiB);
    for (std::uint64_t at = 0; at < rounded && out.error.empty(); at += chunk.size()) {
        auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), rounded - at));
        FillPattern(chunk.data(), n, at, 0);
        if (!FullPwrite(fd, chunk.data(), n, at)) out.error = path + ": write failed: " + Errno(errno);
    }
    if (out.error.empty() && ::fsync(fd) != 0) out.error = path + ": fsync failed: " + Errno(errno);
    ::close(fd);
    out.size = rounded;
    return out;
}

}  // namespace dgbench
