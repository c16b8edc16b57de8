// SPDX-License-Identifier: Apache-2.0
// File handles: the object behind every DGfileHandle_t, with its direct path
// (the driver request of gpu_platform.h) and its CPU copy.
//
// Owns: each file_handle_t, from dgFileHandleRegister to
// dgFileHandleDeregister (entry points in dgfile.cpp).  Callers: those entry
// points and the batch request threads; any number of threads may transfer
// through one handle at once.
// Locks: a handle's `mutex` makes one direct attempt or one whole CPU
// fallback a unit per handle.  The fallback (flag change, seek, read/write,
// flag restore) also holds the file lock (file_locks.h) of its open file
// description, shared by every handle on that description (the same
// descriptor, a dup, one inherited across fork), since flags and position
// belong to the description, not to the handle; handles on separately opened
// descriptors copy at once where the kernel tells descriptions apart.  The
// direct path needs no such lock (the driver reads at an explicit offset).
// Both are fork-safe: a child made by fork finds them free
// (fork_safe_mutex.h).  Their place in the lock order: src/README.md.  The
// device descriptor is read through `qrvdfd` without the device lock (an
// atomic load).  The application's own use of a registered descriptor
// while a transfer runs is not guarded: that stays its responsibility.
#pragma once

#include <linux/types.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "dgfile.h"
#include "file_locks.h"
#include "fork_safe_mutex.h"
#include "gpu_platform.h"
#include "stats.h"
#include "thread_annotations.h"

// ---- Open flags ------------------------------------------------------------

// Status flags a registered descriptor may carry without remark: the access
// modes, O_CREAT, O_DIRECT and the kernel's own large-file bit, whose value
// depends on the processor and differs from the C library's (0 on LP64).
extern const int kAllowedOpenFlags;

// ---- The file handle ---------------------------------------------------------

// What the runtime said of a transfer's device pointer, once asked.
struct pointer_query_t {
    bool made = false;
    int status = -1;  // 0: `info` describes the allocation holding the pointer
    qrv_vendor_pointer_info_t info{};

    // Asks the runtime about devPtr_base unless it was asked already.
    void make(const void* devPtr_base);
};

// How the paths of one transfer went, for the statistics.
struct attempt_t {
    stats::miss_t miss = stats::miss_t::no_device;  // why the direct path did not complete
    int error = 0;                                  // errno of a refused request
    stats::cpu_fail_t failure = stats::cpu_fail_t::io;  // why the CPU copy did not
    // The driver request's, or the CPU copy's, duration on the statistics'
    // clock; 0 when they do not count.
    std::uint64_t us = 0;
};

// Whether [devPtr_base + devPtr_offset, + size) lies inside the allocation
// `info` describes; offsets wrap as the device addresses they form.
bool inside_allocation(const qrv_vendor_pointer_info_t& info, const void* devPtr_base,
                       off_t devPtr_offset, std::size_t size);

class file_handle_t {
public:
    // `flags`: the descriptor's status flags read at registration (0 for
    // kinds other than a POSIX descriptor).  Reads DGFILE_DISABLE_CPU now.
    // Null when no memory is left.
    static file_handle_t* create(const std::atomic<int>* qrvdfd, const DGfileDescr_t* descr,
                                 int flags);
    ~file_handle_t();

    file_handle_t(const file_handle_t&) = delete;
    file_handle_t& operator=(const file_handle_t&) = delete;

    // Move `size` bytes between the file at `file_offset` and device memory at
    // devPtr_base + devPtr_offset.  Return the bytes moved, 0 for a kind
    // without a transfer path, -1 on failure (or a user callback's result).
    ssize_t read(void* devPtr_base, std::size_t size, off_t file_offset, off_t devPtr_offset);
    ssize_t write(const void* devPtr_base, std::size_t size, off_t file_offset,
                  off_t devPtr_offset);

private:
    enum class op_t : __u8 { read = 0, write = 1 };

    // One transfer as the entry point asked for it.
    struct request_t {
        op_t op;
        const char* func;  // "read" or "write": the records' function name
        void* devPtr_base;
        std::size_t size;
        off_t file_offset;
        off_t devPtr_offset;
        bool counting;  // the statistics count it (decided before any lock)
    };

    file_handle_t(const std::atomic<int>* qrvdfd, const DGfileDescr_t* descr, int flags,
                  const struct stat* st);

    ssize_t transfer(const request_t& r) EXCLUDES(mutex);
    bool direct(const request_t& r, pointer_query_t* query, attempt_t* attempt, ssize_t* moved)
        REQUIRES(mutex);
    bool fallback(const request_t& r, pointer_query_t* query, attempt_t* attempt,
                  ssize_t* moved) REQUIRES(mutex);
    // The steps of the CPU copy that run under the file lock.  Each returns
    // the byte count or -1, or nothing when it gave up before data moved.
    std::optional<ssize_t> copy_on_descriptor(const request_t& r, attempt_t* attempt)
        REQUIRES(mutex);
    std::optional<ssize_t> read_step(const request_t& r, void* device, attempt_t* attempt)
        REQUIRES(*file_lock);
    std::optional<ssize_t> write_step(const request_t& r, const void* device,
                                      attempt_t* attempt) REQUIRES(*file_lock);
    std::size_t read_capacity(std::size_t size, off_t file_offset) const
        REQUIRES(*file_lock);

    const std::atomic<int>* const qrvdfd;  // the process-wide device descriptor
    const DGfileDescr_t descr;             // constant after construction
    const int fileflag;                    // restored after every fallback
    dgfileRDMAInfo_t rdma{};               // handed to the user callbacks only
    [[maybe_unused]] const struct stat f_stat;  // taken at construction; nothing reads it yet
    fork_safe_mutex mutex;                 // see the header comment
    const bool disable_cpu;                // DGFILE_DISABLE_CPU was "YES"
    // This handle in its file lock's list of descriptors.
    file_lock_user_t lock_user;
    // Shared with every handle on the same open file description; held around
    // each CPU copy.  Null for kinds other than a POSIX descriptor (they have
    // no CPU copy), and when no memory was left for it.
    file_lock_t* const file_lock;
};
