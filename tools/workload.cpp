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
#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "dgfile.h"
#include "dgfile.hpp"
#include "dgrt.h"
#include "qrv_platform.h"
#include "qrvd_sim.h"
#include "sim_control.h"
#include "units.h"
#include "worker.h"

namespace dgbench {

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// pwrite until all `len` bytes are written; false on an error.
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

// Shows "read: 1.20 GiB of 4.00 GiB (30%), 1.15 GiB/s" on standard error,
// rewritten in place.
void ShowProgress(Workload workload, std::uint64_t done, std::uint64_t total, double elapsed) {
    std::fprintf(stderr, "\r%s: %s of %s (%.0f%%), %s/s   ", Name(workload), FormatSize(done).c_str(),
                 FormatSize(total).c_str(), 100.0 * static_cast<double>(done) / static_cast<double>(total),
                 FormatSize(static_cast<std::uint64_t>(static_cast<double>(done) / elapsed)).c_str());
    std::fflush(stderr);
}

// Waits for the workers, with the progress line once the run has lasted a
// second; clears it at the end.
void WaitWithProgress(RunShared& s, unsigned workers, std::uint64_t total, Clock::time_point start) {
    std::unique_lock lock(s.mutex);
    bool shown = false;
    while (s.finished < workers) {
        s.finished_cv.wait_for(lock, std::chrono::milliseconds(250));
        if (!s.config.progress || s.finished >= workers) continue;
        double elapsed = Seconds(Clock::now() - start);
        if (elapsed < 1.0) continue;
        std::uint64_t done = s.bytes_done.load(std::memory_order_relaxed);
        ShowProgress(s.config.workload, done, total, elapsed);
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

// Records a failure of the steps before the workers start; false, for the
// step to return.
bool Fail(RunResult& r, int code, const std::string& message) {
    r.error_code = code;
    r.error = message;
    return false;
}

bool CheckCounts(RunResult& r) {
    if (r.config.io_size == 0) return Fail(r, kExitUsage, "--io-size must be at least 1 byte");
    if (r.config.threads == 0) return Fail(r, kExitUsage, "--threads must be at least 1");
    return true;
}

// Opens the file without O_DIRECT, for the checks.
bool OpenPlain(RunResult& r, int& fd) {
    const RunConfig& c = r.config;
    fd = ::open(c.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return true;
    int e = errno;
    if (e == ENOENT) return Fail(r, kExitUsage, c.file + ": no such file (--create SIZE makes one)");
    return Fail(r, kExitSetup, c.file + ": " + Errno(e));
}

bool RegularFileSize(RunResult& r, int fd, std::uint64_t& file_size) {
    const RunConfig& c = r.config;
    struct stat st;
    if (::fstat(fd, &st) != 0) return Fail(r, kExitSetup, c.file + ": " + Errno(errno));
    if (!S_ISREG(st.st_mode)) return Fail(r, kExitUsage, c.file + ": not a regular file");
    file_size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

// The bytes to move: --size, or all from --offset to the end of the file;
// either way inside the file.  Neither needs to be a whole number of I/Os:
// the last I/O takes what is left.
bool RangeSize(RunResult& r, std::uint64_t file_size, std::uint64_t& size) {
    const RunConfig& c = r.config;
    if (c.offset > file_size)
        return Fail(r, kExitUsage, "--offset " + Num(c.offset) + " lies beyond the end of " + c.file +
                                       " (" + Num(file_size) + " bytes)");
    size = c.size;
    if (size == 0) {
        size = file_size - c.offset;
        if (size == 0)
            return Fail(r, kExitUsage, "nothing to move: " + c.file + " ends at --offset " +
                                           Num(c.offset));
        return true;
    }
    std::uint64_t end = 0;
    if (__builtin_add_overflow(c.offset, size, &end) || end > file_size)
        return Fail(r, kExitUsage, "the range of " + Num(size) + " bytes from offset " +
                                       Num(c.offset) + " runs beyond the end of " + c.file + " (" +
                                       Num(file_size) + " bytes)");
    return true;
}

// Whether `ios` I/Os give every thread work and a batch's memory can be had.
bool FitsThreadsAndBatch(RunResult& r, std::uint64_t ios) {
    const RunConfig& c = r.config;
    if (c.threads > ios)
        return Fail(r, kExitUsage, "--threads " + std::to_string(c.threads) + " is more than the " +
                                       Num(ios) + " I/Os of the run");
    if (c.batch_depth > 0 && c.io_size > SIZE_MAX / c.batch_depth)
        return Fail(r, kExitUsage, "--batch " + std::to_string(c.batch_depth) + " I/Os of " +
                                       Num(c.io_size) + " bytes do not fit in memory");
    return true;
}

// Direct I/O moves whole blocks of the file system's logical block size
// (512 bytes or 4 KiB); a transfer asking for 4 KiB multiples suits both.
constexpr std::uint64_t kDirectBlock = 4096;

// A short last I/O of a read that ends at the end of the file asks for its
// bytes rounded up to whole blocks, as an O_DIRECT loader does: the driver
// reads up to the end of the file and reports the bytes it got, and the
// CPU copy stops there too, so the direct path can take the tail.  Anywhere
// else the last I/O asks for exactly its bytes (a write of whole blocks
// would grow the file); if they are not whole blocks, the driver refuses it
// and the library falls back to the CPU copy.
void SizeLastRequest(RunShared& s, std::uint64_t file_size) {
    const RunConfig& c = s.config;
    if (c.workload != Workload::Read || s.last_bytes == c.io_size || s.base + s.size != file_size)
        return;
    const std::uint64_t blocks = (s.last_bytes + kDirectBlock - 1) / kDirectBlock * kDirectBlock;
    s.last_request = std::min(blocks, c.io_size);
}

// Reads: whether --verify also checks the file against the offset pattern,
// which it does only where this process wrote it.  Writes: a generation the
// range does not hold yet, so that written data cannot be mistaken for what
// was there.
void PrepareChecks(RunShared& s) {
    const RunConfig& c = s.config;
    if (Reads(c.workload)) {
        s.pattern_check = c.verify && c.pattern_written;
        return;
    }
    Byte first[16];
    ssize_t got = ::pread(s.plain_fd, first, sizeof first, static_cast<off_t>(c.offset));
    auto old = got > 0 ? PatternGeneration(first, static_cast<std::size_t>(got), c.offset)
                       : std::nullopt;
    s.generation = static_cast<std::uint8_t>(old ? *old + 1 : 1);
    if (s.generation == 0) s.generation = 1;
}

// Workers with consecutive shares of the I/O indices, as even as can be.
std::vector<Worker> ShareOut(std::uint64_t ios, unsigned threads) {
    std::vector<Worker> workers(threads);
    for (unsigned t = 0; t < threads; ++t) {
        workers[t].first = ios * t / threads;
        workers[t].end = ios * (t + 1) / threads;
    }
    return workers;
}

// The worker's own O_DIRECT descriptor of the file, registered as a file
// handle.
bool OpenFileHandle(RunResult& r, Worker& w) {
    const RunConfig& c = r.config;
    const int flags = (c.workload == Workload::Read ? O_RDONLY : O_WRONLY) | O_DIRECT | O_CLOEXEC;
    w.fd = ::open(c.file.c_str(), flags);
    if (w.fd < 0) {
        int e = errno;
        return Fail(r, kExitSetup, c.file + ": cannot open for direct I/O: " + Errno(e) +
                                       (e == EINVAL ? " (the file system does not support "
                                                      "O_DIRECT)" : ""));
    }
    w.owns_fd = true;
    DGfileDescr_t descr{};
    descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
    descr.handle.fd = w.fd;
    DGfileError_t status = dgFileHandleRegister(&w.fh, &descr);
    if (status.err != DG_FILE_SUCCESS)
        return Fail(r, kExitSetup, c.file + ": dgFileHandleRegister refused it: status " +
                                       std::to_string(status.err));
    w.owns_handle = true;
    return true;
}

// Device memory and host buffers for a round of the worker, and its batch
// handle in batch mode.
bool AllocateBuffers(RunResult& r, Worker& w) {
    const RunConfig& c = r.config;
    const std::uint64_t round_bytes = std::max(1u, c.batch_depth) * c.io_size;
    int status = dgMalloc(&w.device, round_bytes);
    if (status != dgSuccess) {
        w.device = nullptr;
        return Fail(r, kExitSetup, "cannot allocate " + FormatSize(round_bytes) +
                                       " of device memory: dgMalloc: " + DgrtError(status) +
                                       " (status " + std::to_string(status) + ")");
    }
    if (c.batch_depth > 0) {
        DGfileError_t b = dgFileBatchIOSetUp(&w.batch, c.batch_depth);
        if (b.err != DG_FILE_SUCCESS) {
            w.batch = nullptr;
            return Fail(r, kExitSetup, "dgFileBatchIOSetUp failed: status " + std::to_string(b.err));
        }
    }
    try {
        w.host.resize(round_bytes);
        if (c.verify) w.file_bytes.resize(c.io_size);
        w.params.resize(c.batch_depth);
        w.events.resize(c.batch_depth);
        w.latency_ns.reserve(w.end - w.first);
    } catch (const std::bad_alloc&) {
        return Fail(r, kExitSetup, "cannot allocate " + FormatSize(round_bytes) +
                                       " of host memory for the run");
    }
    return true;
}

// Stops at the first failure; Release undoes whatever was set up.
bool SetUpWorkers(RunResult& r, std::vector<Worker>& workers) {
    for (std::size_t t = 0; t < workers.size(); ++t) {
        Worker& w = workers[t];
        if (t == 0 || !r.config.shared_handle) {
            if (!OpenFileHandle(r, w)) return false;
        } else {
            w.fd = workers[0].fd;
            w.fh = workers[0].fh;
        }
        if (!AllocateBuffers(r, w)) return false;
    }
    return true;
}

// One thread a worker, all started together once all exist; returns when
// they are joined.
void RunWorkers(RunShared& s, std::vector<Worker>& workers) {
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
    WaitWithProgress(s, static_cast<unsigned>(workers.size()), s.size, started);
    for (std::thread& t : threads) t.join();
}

// The run's figures from its workers': it lasted as long as its busiest
// worker.
void AddUp(RunResult& r, const RunShared& s, const std::vector<Worker>& workers) {
    std::vector<std::uint64_t> latencies;
    Clock::duration longest{};
    CheckResult pattern;
    for (const Worker& w : workers) {
        r.ios += w.ios_done;
        r.bytes += w.bytes_done;
        longest = std::max(longest, w.busy);
        r.check.Merge(w.check);
        pattern.Merge(w.pattern);
        latencies.insert(latencies.end(), w.latency_ns.begin(), w.latency_ns.end());
    }
    if (s.pattern_check) r.pattern = pattern;
    r.seconds = Seconds(longest);
    r.latency = Summarise(latencies);
}

// Each transfer either went through the driver (a successful request that
// moved all of its I/O) or through the CPU fallback.  The driver's byte count
// gives the first number exactly when every successful request moved whole
// I/Os, the short last one included or not; otherwise neither is known.
void CountPaths(RunResult& r, const qrvd_sim_counters& before, const qrvd_sim_counters& after) {
    const RunConfig& c = r.config;
    const bool read = Reads(c.workload);
    std::uint64_t ok_requests = read ? after.reads - before.reads : after.writes - before.writes;
    std::uint64_t bytes = read ? after.bytes_read - before.bytes_read
                               : after.bytes_written - before.bytes_written;
    std::uint64_t direct = 0;
    if (bytes % c.io_size == 0)
        direct = bytes / c.io_size;
    else if (r.last_io != 0 && bytes >= r.last_io && (bytes - r.last_io) % c.io_size == 0)
        direct = (bytes - r.last_io) / c.io_size + 1;
    else
        return;
    if (direct <= ok_requests && direct <= r.ios) {
        r.direct = direct;
        r.fallback = r.ios - direct;
    }
}

// The part of RunWorkload after the range is known: set-up, the run, the
// figures.
void Execute(RunResult& r, RunShared& s, std::vector<Worker>& workers) {
    if (!SetUpWorkers(r, workers)) return;
    const bool counted = simctl::Enabled();
    qrvd_sim_counters before{}, after{};
    if (counted) simctl::GetCounters(&before);
    RunWorkers(s, workers);
    if (counted) simctl::GetCounters(&after);
    AddUp(r, s, workers);
    if (counted) CountPaths(r, before, after);
    std::lock_guard lock(s.mutex);
    if (s.error_code != kExitOk) Fail(r, s.error_code, s.error);
}


// ---- load and store: the range in one call of the C++ loader ---------------

using DeviceMemory = std::unique_ptr<void, int (*)(void*)>;

// Store: the range's pattern of generation `s.generation` into device
// memory, 4 MiB at a time through a host buffer.  Untimed.
bool FillRange(RunResult& r, const RunShared& s, void* device) {
    std::vector<Byte> host(static_cast<std::size_t>(std::min<std::uint64_t>(s.size, 4 * MiB)));
    for (std::uint64_t at = 0; at < s.size; at += host.size()) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(host.size(), s.size - at));
        FillPattern(host.data(), n, s.base + at, s.generation);
        int status = dgMemcpy(static_cast<char*>(device) + at, host.data(), n, dgMemcpyHostToDevice);
        if (status != dgSuccess)
            return Fail(r, kExitSetup, std::string("dgMemcpy to device memory failed: ") + DgrtError(status));
    }
    return true;
}

// After the call: the first `moved` bytes of the range, 4 MiB at a time.
// Load: device memory against a plain read of the file (and, where this
// process wrote the pattern, the file against it).  Store: the file against
// the pattern written.  Untimed.
void CheckRange(RunResult& r, const RunShared& s, const void* device, std::uint64_t moved) {
    const bool load = Reads(s.config.workload);
    std::vector<Byte> file(static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(moved, 1), 4 * MiB)));
    std::vector<Byte> other(file.size());
    CheckResult pattern;
    for (std::uint64_t at = 0; at < moved; at += file.size()) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(file.size(), moved - at));
        const std::uint64_t off = s.base + at;
        if (::pread(s.plain_fd, file.data(), n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) {
            Fail(r, kExitSetup, "plain read of " + s.config.file + " at offset " + Num(off) + " for the check failed");
            return;
        }
        if (!load) {
            FillPattern(other.data(), n, off, s.generation);
            r.check.Merge(CompareBytes(file.data(), other.data(), n, off, true));
            continue;
        }
        int status = dgMemcpy(other.data(), static_cast<const char*>(device) + at, n, dgMemcpyDeviceToHost);
        if (status != dgSuccess) {
            Fail(r, kExitSetup, std::string("dgMemcpy from device memory failed: ") + DgrtError(status));
            return;
        }
        r.check.Merge(CompareBytes(other.data(), file.data(), n, off, s.pattern_check));
        if (s.pattern_check) pattern.Merge(CheckPatternOffsets(file.data(), n, off));
    }
    if (s.pattern_check) r.pattern = pattern;
}

// Shows the progress line of WaitWithProgress from the loader's progress
// hook (the calling thread), once the call has lasted a second.
struct LoaderProgress {
    const RunShared& s;
    Clock::time_point start = Clock::now();
    bool shown = false;
    bool operator()(std::uint64_t done, std::uint64_t total) {
        const double elapsed = Seconds(Clock::now() - start);
        if (elapsed < 1.0) return true;
        ShowProgress(s.config.workload, done, total, elapsed);
        shown = true;
        return true;
    }
};

// One dgfile::load or dgfile::store of the whole range into device memory
// of its size, on a descriptor the loader opens itself (O_DIRECT), with
// io_size as the chunk size and threads as the lanes.
void RunLoader(RunResult& r, RunShared& s) {
    const RunConfig& c = r.config;
    const bool load = Reads(c.workload);
    PrepareChecks(s);
    void* raw = nullptr;
    int status = dgMalloc(&raw, s.size);
    if (status != dgSuccess) {
        Fail(r, kExitSetup, "cannot allocate " + FormatSize(s.size) + " of device memory: dgMalloc: " +
                                DgrtError(status) + " (status " + std::to_string(status) + ")");
        return;
    }
    DeviceMemory device(raw, &dgFree);
    // Device memory is resident before the clock starts, as a GPU's is: a
    // load's first touch of the simulated device's pages is not the
    // loader's cost.
    if (load ? dgMemset(device.get(), 0, s.size) != dgSuccess : !FillRange(r, s, device.get())) {
        if (r.ok()) Fail(r, kExitSetup, "dgMemset of device memory failed");
        return;
    }
    std::error_code ec;
    dgfile::file f = dgfile::file::open(c.file, load ? O_RDONLY : O_WRONLY, ec);
    if (ec) {
        Fail(r, kExitSetup, c.file + ": cannot open for direct I/O: " + ec.message());
        return;
    }
    dgfile::load_options options{static_cast<std::size_t>(c.io_size), c.threads};
    LoaderProgress progress{s};
    if (c.progress) options.progress = std::ref(progress);
    const bool counted = simctl::Enabled();
    qrvd_sim_counters before{}, after{};
    if (counted) simctl::GetCounters(&before);
    const auto t0 = Clock::now();
    const std::size_t moved = load ? dgfile::load(f, device.get(), s.size, static_cast<off_t>(s.base), options, ec)
                                   : dgfile::store(f, device.get(), s.size, static_cast<off_t>(s.base), options, ec);
    r.seconds = Seconds(Clock::now() - t0);
    if (counted) simctl::GetCounters(&after);
    if (progress.shown) std::fputs("\r\033[K", stderr);
    r.bytes = moved;
    r.ios = moved / c.io_size + (moved % c.io_size != 0 ? 1 : 0);
    if (counted && moved == s.size) CountPaths(r, before, after);
    if (moved < s.size) {
        const char* call = load ? "dgfile::load" : "dgfile::store";
        Fail(r, kExitTransfer, std::string(call) + " moved " + Num(moved) + " of " + Num(s.size) +
                                   " bytes: " + (ec ? ec.message() : "the file ended") + " at file offset " +
                                   Num(s.base + moved));
    }
    if (c.verify) CheckRange(r, s, device.get(), moved);
}
}  // namespace

const char* Name(Workload w) {
    switch (w) {
        case Workload::Write: return "write";
        case Workload::Load: return "load";
        case Workload::Store: return "store";
        default: return "read";
    }
}

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
    info.gpu_runtime = simctl::LoadedLibrary(QRV_RUNTIME_SONAME);
    info.app_runtime = simctl::LoadedLibrary(DGRT_SONAME);
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
    int plain = -1;
    if (!CheckCounts(r) || !OpenPlain(r, plain)) return r;
    std::unique_ptr<int, void (*)(int*)> plain_guard(&plain, [](int* fd) { ::close(*fd); });
    std::uint64_t file_size = 0, size = 0;
    if (!RegularFileSize(r, plain, file_size) || !RangeSize(r, file_size, size)) return r;
    RunShared s(c, c.offset, size);
    // The loader gives no lane more chunks than there are.
    if (!ByLoader(c.workload) && !FitsThreadsAndBatch(r, s.ios)) return r;
    r.offset = c.offset;
    r.size = size;
    r.last_io = s.last_bytes < c.io_size ? s.last_bytes : 0;

    s.plain_fd = plain;
    if (ByLoader(c.workload)) {
        r.latency_known = false;
        RunLoader(r, s);
    } else {
        SizeLastRequest(s, file_size);
        PrepareChecks(s);
        std::vector<Worker> workers = ShareOut(s.ios, c.threads);
        Execute(r, s, workers);
        Release(workers);
    }
    if (r.ok() && r.verified && !r.check.ok())
        Fail(r, kExitMismatch,
             "verify: " + Num(r.check.bad_bytes) +
                 (Reads(c.workload) ? " byte(s) read differ from the file"
                                               : " byte(s) of the file differ from the data written") +
                 "; the first at " + Describe(*r.check.first));
    else if (r.ok() && r.pattern && !r.pattern->ok())
        Fail(r, kExitPattern, "pattern check: " + Num(r.pattern->bad_bytes) + " byte(s) of " + c.file +
                              " no longer hold the offset pattern written in this run (the data "
                              "moved matched the file); the first at " + Describe(*r.pattern->first));
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
