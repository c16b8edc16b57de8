// SPDX-License-Identifier: Apache-2.0
// The worker threads of one dgfile-bench run: what they share (RunShared),
// what each one owns (Worker), and the loop each one runs (RunWorker), round
// by round: plain calls or a batch, the pattern filled in before a write
// round and the data checked after any round, both untimed.
//
// Only workload.cpp calls this unit: it sets the workers up, runs RunWorker
// on one thread per Worker, and reads the figures once the threads are
// joined.  While they run, threads share RunShared's atomics and the fields
// it guards with `mutex`; everything else there is constant, and a Worker
// is touched by its own thread only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <latch>
#include <mutex>
#include <string>
#include <vector>

#include "dgfile.h"
#include "pattern.h"
#include "workload.h"

namespace dgbench {

using Clock = std::chrono::steady_clock;

// Pieces of the messages a run reports.
inline std::string Num(std::uint64_t v) { return std::to_string(v); }
std::string Errno(int error);
const char* DgrtError(int status);  // a dgMalloc/dgMemcpy status in words

// A bijection of [0, n) that looks random, so that random access visits each
// block once without a table of n entries: a four-round Feistel network on
// the smallest even number of bits that covers n, walked until it lands
// inside [0, n) (fewer than four steps on average).
class Permutation {
public:
    Permutation(std::uint64_t n, std::uint64_t seed);
    std::uint64_t operator()(std::uint64_t i) const {
        if (n_ <= 1) return 0;
        do i = Round(i); while (i >= n_);
        return i;
    }

private:
    std::uint64_t Round(std::uint64_t x) const;
    std::uint64_t n_;
    unsigned half_bits_ = 1;
    std::uint64_t keys_[4] = {};
};

// What the workers share.  The outcome fields are guarded by `mutex`; the
// counters are atomics read by the progress line; the rest is set before
// the workers start.
//
// The range is cut into I/Os of io_size bytes; the last one holds what is
// left and may be shorter.  An I/O index (a worker's position in its share)
// maps to a block of the range: the same block in sequential order, the
// permuted one in random order.
struct RunShared {
    const RunConfig& config;
    std::uint64_t base = 0;          // file offset of the range
    std::uint64_t size = 0;          // bytes in the range
    std::uint64_t ios = 0;           // I/Os in the range
    std::uint64_t last_bytes = 0;    // bytes of the last block (io_size when whole)
    std::uint64_t last_request = 0;  // bytes its transfer asks for (see workload.cpp)
    Permutation order;
    int plain_fd = -1;               // the file without O_DIRECT, for the checks
    bool pattern_check = false;      // reads: check the file against the pattern too
    std::uint8_t generation = 0;

    std::atomic<std::uint64_t> bytes_done{0};
    std::atomic<bool> stop{false};

    std::mutex mutex;
    std::condition_variable finished_cv;
    unsigned finished = 0;  // workers that returned
    int error_code = kExitOk;
    std::string error;

    RunShared(const RunConfig& c, std::uint64_t b, std::uint64_t bytes)
        : config(c), base(b), size(bytes),
          ios(bytes / c.io_size + (bytes % c.io_size != 0 ? 1 : 0)),
          last_bytes(bytes - (ios - 1) * c.io_size), last_request(last_bytes),
          order(ios, c.seed) {}

    std::uint64_t Block(std::uint64_t index) const { return config.random ? order(index) : index; }
    std::uint64_t FileOffset(std::uint64_t index) const { return base + Block(index) * config.io_size; }
    // The bytes I/O `index` moves, and the bytes its transfer asks for.
    std::uint64_t Bytes(std::uint64_t index) const {
        return Block(index) == ios - 1 ? last_bytes : config.io_size;
    }
    std::uint64_t Request(std::uint64_t index) const {
        return Block(index) == ios - 1 ? last_request : config.io_size;
    }
    // Records the run's first failure and asks every worker to stop.
    void Fail(int code, const std::string& message);
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
    std::uint64_t bytes_done = 0;
    CheckResult check;
    CheckResult pattern;               // the file against the pattern (pattern_check)
};

// The body of a worker thread: waits for `start`, then moves its share of
// the range round by round until done, a failure, or `s.stop`; counts itself
// in `s.finished` on the way out.
void RunWorker(RunShared& s, Worker& w, std::latch& start);

}  // namespace dgbench
