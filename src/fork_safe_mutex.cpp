// SPDX-License-Identifier: Apache-2.0
#include "fork_safe_mutex.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// 0 until the first lock is taken; then a nonzero multiple of 4.
std::atomic<std::uint32_t> generation{0};

void start_new_generation() {
    std::uint32_t next = generation.load(std::memory_order_relaxed) + 4;
    if (next == 0) next = 4;  // after 2^30 forks in a line
    generation.store(next, std::memory_order_relaxed);
}

// The kernel's futex calls on a lock word, private to this process.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

std::uint32_t* futex_word(std::atomic<std::uint32_t>* word) {
    return reinterpret_cast<std::uint32_t*>(word);
}

}  // namespace

std::uint32_t fork_generation() {
    const std::uint32_t current = generation.load(std::memory_order_relaxed);
    if (current != 0) return current;
    // Registered before any lock is taken, so that every fork that can find
    // a lock held starts a new generation in the child.
    static const bool registered = [] {
        ::pthread_atfork(nullptr, nullptr, start_new_generation);
        std::uint32_t unset = 0;
        generation.compare_exchange_strong(unset, 4, std::memory_order_relaxed);
        return true;
    }();
    (void)registered;
    return generation.load(std::memory_order_relaxed);
}

void fork_safe_mutex::lock_slow(std::uint32_t current, std::uint32_t seen) {
    for (;;) {
        if ((seen & kState) == 0 || (seen & ~kState) != current) {
            // Free, or held by a thread of the process this one was forked
            // from.  Taken as contended: this thread may have slept on the
            // word, and others may still sleep there.
            if (word_.compare_exchange_weak(seen, current | kContended, std::memory_order_acquire,
                                            std::memory_order_relaxed))
                return;
            continue;
        }
        if ((seen & kState) == kLocked &&
            !word_.compare_exchange_weak(seen, current | kContended, std::memory_order_relaxed,
                                         std::memory_order_relaxed))
            continue;
        // Sleeps only while the word still says held and contended; any
        // change (an unlock, a takeover) wakes it or keeps it from sleeping.
        ::syscall(SYS_futex, futex_word(&word_), FUTEX_WAIT_PRIVATE, current | kContended,
                  nullptr, nullptr, 0);
        seen = word_.load(std::memory_order_relaxed);
    }
}

void fork_safe_mutex::wake_one() {
    ::syscall(SYS_futex, futex_word(&word_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}
