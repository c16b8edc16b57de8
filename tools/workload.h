// SPDX-License-Identifier: Apache-2.0
// The workloads of dgfile-bench: reads of a file range into device memory
// and writes of device memory into it, through libdgfile's public entry
// points, and the same range moved by one call of the C++ loader
// (dgfile::load, dgfile::store of dgfile.hpp), with device memory from the
// application runtime (dgrt.h).
//
// RunWorkload owns everything one run needs (descriptors, file handles,
// batch handles, device and host buffers, its worker threads or the
// loader's call) and releases it before returning.  Call it from one thread at a time: the choice of
// transfer path and of the simulated driver is process-wide.  Worker threads
// share only atomics and a mutex-guarded outcome (RunShared in worker.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pattern.h"

namespace dgbench {

// Exit codes of the program; RunResult::error_code uses the same values.
enum ExitCode : int {
    kExitOk = 0,
    kExitMismatch = 1,  // --verify: bytes moved differ from the file's bytes
    kExitUsage = 2,     // bad arguments or input (missing file, range beyond the file, ...)
    kExitSetup = 3,     // the file, a file handle or device memory could not be set up
    kExitTransfer = 4,  // a transfer failed or moved fewer bytes than asked
    kExitPattern = 5,   // the file no longer holds the pattern this process wrote there
};

// Load and Store move the whole range with one call of dgfile::load or
// dgfile::store: io_size is then their chunk size and threads their lanes.
enum class Workload { Read, Write, Load, Store };
// Whether the workload moves data from the file into device memory.
inline bool Reads(Workload w) { return w == Workload::Read || w == Workload::Load; }
inline bool ByLoader(Workload w) { return w == Workload::Load || w == Workload::Store; }
// How libdgfile may move the bytes: try the driver and fall back to the CPU
// copy (Default), the CPU copy only (Cpu), or the driver only (Direct).
enum class TransferPath { Default, Cpu, Direct };

const char* Name(Workload w);
const char* Name(TransferPath p);

// Selects the path through the library's environment variables
// (DGFILE_DISABLE_GDS, DGFILE_DISABLE_CPU).  They take effect at the next
// device open and file registration; with `reconnect`, an open device
// connection is closed so that the next registration honours the choice.
// Call only while no transfer runs and no other thread reads the environment.
void SelectPath(TransferPath path, bool reconnect);

// Whether the driver stand-in simulates "/dev/qrvd", and why; which runtime
// files the process loaded.
struct DriverInfo {
    bool simulated = false;
    bool device_node = false;  // a real (character device) "/dev/qrvd" exists
    std::string reason;        // e.g. "no /dev/qrvd", "--sim on", "QRVD_SIM=1"
    std::string gpu_runtime;   // the file libqrv-runtime64.so.1 came from
    std::string app_runtime;   // the file libdgrt.so.1 came from
    std::string error;         // not empty: simulation was asked for and cannot be had
};
enum class SimMode { Auto, On, Off };
// Decides once, before the library is first used.  The driver stand-in must
// be in the process (linked or preloaded) for anything to be simulated.
DriverInfo SelectDriver(SimMode mode);

struct RunConfig {
    Workload workload = Workload::Read;
    std::string file;
    std::uint64_t offset = 0;              // file offset of the range
    std::uint64_t size = 0;                // bytes; 0: from offset to the end of the file
    std::uint64_t io_size = 1024 * 1024;   // bytes per transfer (the loader's chunk size)
    bool random = false;                   // each block once, in random order
    std::uint64_t seed = 1;
    unsigned threads = 1;                  // (the loader's lanes)
    bool shared_handle = false;            // all threads use one file handle
    unsigned batch_depth = 0;              // 0: dgFileRead/dgFileWrite; else batches of this many
    TransferPath path = TransferPath::Default;  // for the report; SelectPath applies it
    bool verify = false;
    // This process wrote the offset pattern over the whole range (--create,
    // or the demo's write run): a verified read then also checks the file's
    // bytes against it.  Never guessed from the file's content.
    bool pattern_written = false;
    bool progress = false;                 // a progress line on standard error
    std::string label;                     // the run's name in reports; default "workload/path"
};

struct LatencySummary {
    double mean_us = 0, p50_us = 0, p99_us = 0, max_us = 0;
};

struct RunResult {
    RunConfig config;
    std::string name;
    std::uint64_t offset = 0;        // the range actually used
    std::uint64_t size = 0;          // its bytes
    std::uint64_t last_io = 0;       // bytes of its last I/O, when fewer than io_size; else 0
    std::uint64_t bytes = 0;         // bytes moved by completed transfers
    std::uint64_t ios = 0;           // completed transfers (the loader's: chunks moved)
    double seconds = 0;              // transfer time (pattern fills and checks excluded)
    LatencySummary latency;
    bool latency_known = true;       // false for the loader: one call, not one per transfer
    // Transfers that took the driver's direct path and the CPU fallback,
    // from the simulator's counters; empty where they are not known.
    std::optional<std::uint64_t> direct, fallback;
    // --verify: every byte moved, against the file (reads) or the data
    // written (writes).  `pattern`: for a verified read of a range the
    // process wrote the pattern over, the file's bytes against the pattern,
    // a finding about the file and not about the transfers.
    bool verified = false;
    CheckResult check;
    std::optional<CheckResult> pattern;
    int error_code = kExitOk;        // the first failure's exit code, kExitOk if none
    std::string error;               // its message

    double GiBps() const;
    double MiBps() const;
    double Iops() const;
    bool ok() const { return error_code == kExitOk; }
};

// Runs one workload.  Failures come back in the result (error_code, error),
// together with the figures of whatever ran before them.
RunResult RunWorkload(const RunConfig& config);

// Makes `path` a file of `size` bytes rounded up to whole 4 KiB blocks
// (direct I/O moves whole blocks), filled with the pattern of generation 0.
// Returns the size made, or an error message.
struct CreateResult {
    std::uint64_t size = 0;
    std::string error;
};
CreateResult CreatePatternFile(const std::string& path, std::uint64_t size);

}  // namespace dgbench
