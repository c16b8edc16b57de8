// SPDX-License-Identifier: Apache-2.0
// A mutex that a child made by fork finds free, whichever thread of the
// parent held it at the fork, and the process's fork generation behind it.
//
// After fork only the forking thread exists in the child; a lock another
// thread held at that moment would stay locked there for ever.  Every lock
// word records the generation it was taken in, every child starts a new
// generation, and a lock taken in an older one counts as free: its holder
// does not exist in this process.  That is sound only for locks whose holder
// leaves no memory half-written: the ones here order system calls on shared
// descriptors and atomic updates (a handle's transfer lock, a file's lock,
// the device lock, a batch handle's lock).  Locks that guard structures in
// memory (the file-lock registry, the log, the statistics) are held across
// fork with pthread_atfork instead.
//
// Owns: the fork generation (started, with its fork handler, by the first
// lock taken).  Callers: any thread.  Where each lock stands in the library's
// lock order: src/README.md.
#pragma once

#include <atomic>
#include <cstdint>

#include "thread_annotations.h"

// The current fork generation: a nonzero multiple of 4, so that it fills the
// bits of a lock word above the lock's state.  The first call registers the
// handler that starts a new generation in every child.
std::uint32_t fork_generation();

class CAPABILITY("mutex") fork_safe_mutex {
public:
    constexpr fork_safe_mutex() = default;
    fork_safe_mutex(const fork_safe_mutex&) = delete;
    fork_safe_mutex& operator=(const fork_safe_mutex&) = delete;

    void lock() ACQUIRE() {
        const std::uint32_t generation = fork_generation();
        std::uint32_t seen = 0;
        if (!word_.compare_exchange_strong(seen, generation | kLocked, std::memory_order_acquire,
                                           std::memory_order_relaxed))
            lock_slow(generation, seen);
    }

    void unlock() RELEASE() {
        if ((word_.exchange(0, std::memory_order_release) & kState) == kContended) wake_one();
    }

private:
    // The lock word: the generation it was taken in, and its state.
    static constexpr std::uint32_t kLocked = 1;     // held, nobody waits
    static constexpr std::uint32_t kContended = 2;  // held, someone may be waiting
    static constexpr std::uint32_t kState = 3;

    void lock_slow(std::uint32_t generation, std::uint32_t seen);
    void wake_one();

    std::atomic<std::uint32_t> word_{0};  // 0: free
};
