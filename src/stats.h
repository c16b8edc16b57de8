// SPDX-License-Identifier: Apache-2.0
// Transfer statistics: what this process's transfers through the library
// did, and why they did not take the direct path, written as one summary when
// the process exits (or the library is unloaded) if DGFILE_STATS asks for it.
// This header is all that callers include: the switch, the hooks and the
// clock (stats_clock.h).  The counting is in stats_counters.cpp, the summary
// in stats_report.cpp, the settings' rules in settings.h.
//
// Owns the counter shards, the list of driver refusals, and the settings read
// from DGFILE_STATS and DGFILE_STATS_FORMAT (once, at the first counted
// event).
// Callers: the file handle, the batch handle and the entry points, from any
// thread, with or without their own locks held; but the first on() of a
// process sets up and may take 200 microseconds to calibrate the clock, so
// each path makes its first call before it takes a lock.
// Locks: the registry mutex, taken only when a thread counts for the first
// time, when it ends, by the set-up, around fork, and by the summary; the
// refusal mutex, taken by every driver refusal, around fork and by the
// summary.  Both are held across fork; their place in the lock order:
// src/README.md.  Each thread counts into a shard of its own (relaxed
// atomics that only the owner writes), so no cache line is written by the
// transfers of several threads; a shard outlives its thread and is handed to
// the next thread that needs one, counts and all.  While statistics are off,
// every hook below costs one load and a branch in its caller
// (`stats::on()`).
#pragma once

#include <atomic>
#include <cstdint>

#include "stats_clock.h"

namespace stats {

// -1 until the environment was read and the clock calibrated, then 0 (off)
// or 1 (on) for the life of the process.
extern std::atomic<int> state;

// Reads the settings (once per process; a thread arriving meanwhile waits
// for the first); true when statistics are to be collected.
bool set_up();

// Acquire: pairs with the set-up's release store, so a thread that sees the
// statistics on also sees the calibrated clock rate.
inline bool on() {
    const int s = state.load(std::memory_order_acquire);
    return s > 0 || (s < 0 && set_up());
}

// The three ways a transfer moves data.
enum class path_t : unsigned { direct, cpu, callback };
inline constexpr unsigned kPaths = 3;

// Why a direct attempt did not complete.
enum class miss_t : unsigned { no_device, unknown_pointer, refused, zero_bytes };
inline constexpr unsigned kMisses = 4;

// Why a CPU copy did not move the data.
enum class cpu_fail_t : unsigned {
    outside_allocation,  // the device range leaves the runtime's allocation
    disabled,            // DGFILE_DISABLE_CPU was "YES" at registration
    flags,               // clearing O_DIRECT was refused
    seek,
    buffer,              // no host buffer
    io,                  // read() or write() failed before moving a byte
    copy,                // the runtime copy failed, or no runtime provides it
};
inline constexpr unsigned kCpuFailures = 7;

// The hooks.  REQUIRES: on() returned true.
void transfer(path_t path, std::uint64_t bytes, std::uint64_t us);
void callback_failed();
// A direct attempt that did not complete (`error`: errno of a refusal), and
// whether the CPU copy then moved the data (otherwise cpu_failed follows).
void direct_missed(miss_t why, int error, bool copied);
void cpu_failed(cpu_fail_t why);
void handle_registered();
void handle_deregistered();
void batch_submitted(unsigned requests);
void request_finished();
void batch_cancelled();
void device_opened();
void device_closed();

}  // namespace stats
