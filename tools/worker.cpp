// SPDX-License-Identifier: Apache-2.0
#include "worker.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "dgrt.h"

namespace dgbench {

std::string Errno(int error) { return std::strerror(error); }

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

namespace {

std::uint64_t SplitMix(std::uint64_t& s) {
    std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

}  // namespace

Permutation::Permutation(std::uint64_t n, std::uint64_t seed) : n_(n) {
    while ((std::uint64_t{1} << (2 * half_bits_)) < n) ++half_bits_;
    std::uint64_t s = seed;
    for (auto& k : keys_) k = SplitMix(s);
}

std::uint64_t Permutation::Round(std::uint64_t x) const {
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

void RunShared::Fail(int code, const std::string& message) {
    std::lock_guard lock(mutex);
    if (error_code == kExitOk) {
        error_code = code;
        error = message;
    }
    stop.store(true, std::memory_order_relaxed);
}

namespace {

// pread until all `len` bytes are read; false on an error or end of file
// (errno 0 then).
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

std::uint64_t Nanoseconds(Clock::duration d) {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

// The failure of I/O `index`, whose transfer returned `got`.
std::string TransferFailure(const RunShared& s, std::uint64_t index, long long got) {
    const RunConfig& c = s.config;
    const char* call = c.workload == Workload::Read ? "dgFileRead" : "dgFileWrite";
    const std::uint64_t want = s.Bytes(index);
    std::string where = " at file offset " + Num(s.FileOffset(index)) + " (I/O of " + Num(want) + " bytes)";
    if (got < 0) {
        std::string text = std::string(call) + " failed" + where;
        if (c.path == TransferPath::Direct)
            text += "; with --path direct there is no CPU fallback, so a request the driver "
                    "refuses fails (direct I/O needs offsets and sizes aligned to the file "
                    "system's block size)";
        return text;
    }
    if (static_cast<std::uint64_t>(got) > want)
        return std::string(call) + " reported " + std::to_string(got) + " bytes moved where the file holds " +
               Num(want) + where;
    return std::string(call) + " moved " + std::to_string(got) + " of " + Num(want) + " bytes" + where;
}

// Before a write round: the pattern of each I/O's file range, copied into
// device memory.  Untimed.
bool FillDevice(RunShared& s, Worker& w, std::uint64_t index, unsigned count) {
    const std::size_t io = s.config.io_size;
    std::size_t filled = 0;
    for (unsigned j = 0; j < count; ++j) {
        const std::size_t len = s.Bytes(index + j);
        FillPattern(w.host.data() + j * io, len, s.FileOffset(index + j), s.generation);
        filled = j * io + len;
    }
    int status = dgMemcpy(w.device, w.host.data(), filled, dgMemcpyHostToDevice);
    if (status != dgSuccess) {
        s.Fail(kExitSetup, std::string("dgMemcpy to device memory failed: ") + DgrtError(status));
        return false;
    }
    return true;
}

// After a round: every byte of its first `done` I/Os.  Reads: the device
// data against a plain read of the file (and, where this process wrote the
// pattern, the file against it: a separate finding).  Writes: a plain read
// of the file against the data written.  Untimed.
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
        const std::uint64_t off = s.FileOffset(index + j);
        const std::size_t len = s.Bytes(index + j);
        if (!FullPread(s.plain_fd, w.file_bytes.data(), len, off)) {
            s.Fail(kExitSetup, "plain read of " + s.config.file + " at offset " + Num(off) +
                                   " for the check failed: " +
                                   (errno ? Errno(errno) : "end of file"));
            return;
        }
        const Byte* moved = w.host.data() + j * io;
        if (read) {
            w.check.Merge(CompareBytes(moved, w.file_bytes.data(), len, off, s.pattern_check));
            if (s.pattern_check) w.pattern.Merge(CheckPatternOffsets(w.file_bytes.data(), len, off));
        } else {
            w.check.Merge(CompareBytes(w.file_bytes.data(), moved, len, off, true));
        }
    }
}

// One round of plain calls; returns the I/Os that completed.
unsigned SyncRound(RunShared& s, Worker& w, std::uint64_t index, unsigned count) {
    const std::size_t io = s.config.io_size;
    const bool read = s.config.workload == Workload::Read;
    for (unsigned j = 0; j < count; ++j) {
        const auto off = static_cast<off_t>(s.FileOffset(index + j));
        const std::size_t ask = s.Request(index + j);
        auto t0 = Clock::now();
        ssize_t n = read ? dgFileRead(w.fh, w.device, ask, off, static_cast<off_t>(j * io))
                         : dgFileWrite(w.fh, w.device, ask, off, static_cast<off_t>(j * io));
        auto t1 = Clock::now();
        if (n != static_cast<ssize_t>(s.Bytes(index + j))) {
            s.Fail(kExitTransfer, TransferFailure(s, index + j, n));
            return j;
        }
        w.latency_ns.push_back(Nanoseconds(t1 - t0));
    }
    return count;
}

// Fills in the requests of a batch: request j moves I/O `index + j` to or
// from the j-th I/O of the worker's device memory, and carries j + 1 as its
// cookie (0 would look like no cookie).
void PrepareBatch(RunShared& s, Worker& w, std::uint64_t index, unsigned count) {
    const std::size_t io = s.config.io_size;
    for (unsigned j = 0; j < count; ++j) {
        DGfileIOParams_t& p = w.params[j];
        p = DGfileIOParams_t{};
        p.mode = DGFILE_BATCH;
        p.u.batch.devPtr_base = w.device;
        p.u.batch.file_offset = static_cast<off_t>(s.FileOffset(index + j));
        p.u.batch.devPtr_offset = static_cast<off_t>(j * io);
        p.u.batch.size = s.Request(index + j);
        p.fh = w.fh;
        p.opcode = s.config.workload == Workload::Read ? DGFILE_READ : DGFILE_WRITE;
        p.cookie = reinterpret_cast<void*>(static_cast<std::uintptr_t>(j) + 1);
    }
}

// Whether a completion belongs to the batch of `count` requests from I/O
// `index` and moved all the bytes of its I/O; if not, the run fails (the
// first failure names the request).
bool CompletedWhole(RunShared& s, std::uint64_t index, unsigned count, const DGfileIOEvents_t& ev) {
    auto j = reinterpret_cast<std::uintptr_t>(ev.cookie);
    if (j < 1 || j > count) {
        s.Fail(kExitTransfer, "a batch completion carries an unknown cookie");
        return false;
    }
    auto ret = static_cast<ssize_t>(ev.ret);
    if (ev.status != DGFILE_COMPLETE || ret != static_cast<ssize_t>(s.Bytes(index + j - 1))) {
        s.Fail(kExitTransfer, TransferFailure(s, index + j - 1, ret));
        return false;
    }
    return true;
}

// Polls a submitted batch until all its completions are in, noting a latency
// for each good one: from `submitted` to the poll that handed it out.
// Returns the good ones, or nothing when the round failed.
std::optional<unsigned> CollectBatch(RunShared& s, Worker& w, std::uint64_t index, unsigned count,
                                     Clock::time_point submitted) {
    unsigned collected = 0, good = 0;
    bool failed = false;
    while (collected < count) {
        unsigned nr = count - collected;
        DGfileError_t status = dgFileBatchIOGetStatus(w.batch, 1, &nr, w.events.data(), nullptr);
        auto polled = Clock::now();
        if (status.err != DG_FILE_SUCCESS || nr == 0) {
            // Nothing more will come; the batch handle's destruction waits
            // for whatever still runs.
            s.Fail(kExitTransfer, "dgFileBatchIOGetStatus failed: status " + std::to_string(status.err));
            return std::nullopt;
        }
        for (unsigned e = 0; e < nr; ++e) {
            if (!CompletedWhole(s, index, count, w.events[e])) {
                failed = true;
                continue;
            }
            ++good;
            w.latency_ns.push_back(Nanoseconds(polled - submitted));
        }
        collected += nr;
    }
    if (failed) return std::nullopt;
    return good;
}

// One batch of `count` requests; returns the I/Os that completed with the
// full size.
unsigned BatchRound(RunShared& s, Worker& w, std::uint64_t index, unsigned count) {
    PrepareBatch(s, w, index, count);
    const std::size_t latencies_before = w.latency_ns.size();
    auto submitted = Clock::now();
    DGfileError_t status = dgFileBatchIOSubmit(w.batch, count, w.params.data(), 0);
    if (status.err != DG_FILE_SUCCESS) {
        s.Fail(kExitTransfer, "dgFileBatchIOSubmit refused a batch of " + Num(count) +
                                  " requests: status " + std::to_string(status.err));
        return 0;
    }
    std::optional<unsigned> good = CollectBatch(s, w, index, count, submitted);
    // A failed request spoils the round: the run stops, and neither the
    // round's transfers nor their latencies are counted.
    if (!good) w.latency_ns.resize(latencies_before);
    return good.value_or(0);
}

}  // namespace

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
        std::uint64_t bytes = 0;
        for (unsigned j = 0; j < done; ++j) bytes += s.Bytes(index + j);
        w.ios_done += done;
        w.bytes_done += bytes;
        s.bytes_done.fetch_add(bytes, std::memory_order_relaxed);
        if (s.config.verify) CheckRound(s, w, index, done);
        if (done < count) break;
        index += count;
    }
    std::lock_guard lock(s.mutex);
    ++s.finished;
    s.finished_cv.notify_all();
}

}  // namespace dgbench
