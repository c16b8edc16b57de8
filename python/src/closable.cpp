// SPDX-License-Identifier: Apache-2.0
#include "closable.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <mutex>

namespace dgfile_python {

namespace {

std::atomic<std::uint32_t> generation{1};

// The futex calls take the word's address; the atomic is the word itself.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

std::uint32_t* FutexWord(std::atomic<std::uint32_t>& a) { return reinterpret_cast<std::uint32_t*>(&a); }

thread_local CallingOut* innermost = nullptr;

}  // namespace

CallingOut::CallingOut(const Closable* file, const Closable* buffer)
    : file_(file), buffer_(buffer), outer_(innermost) {
    innermost = this;
}

CallingOut::~CallingOut() { innermost = outer_; }

bool CallingOut::Marks(const Closable* c) {
    for (const CallingOut* m = innermost; m != nullptr; m = m->outer_)
        if (c == m->file_ || c == m->buffer_) return true;
    return false;
}

std::uint32_t ForkGeneration() { return generation.load(std::memory_order_relaxed); }

void StartForkGenerations() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The child is single-threaded when this runs: nothing else reads it yet.
        pthread_atfork(nullptr, nullptr, [] { generation.fetch_add(1, std::memory_order_relaxed); });
    });
}

void InUse::Release() {
    if (generation_ != ForkGeneration()) return;  // taken before a fork: dropped by Renew
    const std::uint32_t old = word_.fetch_sub(1, std::memory_order_acq_rel);
    if ((old & kCount) == 1 && (old & kWaiting) != 0)
        syscall(SYS_futex, FutexWord(word_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void InUse::WaitIdle() {
    std::uint32_t seen = word_.load(std::memory_order_acquire);
    while ((seen & kCount) != 0) {
        // Announce the waiter in the word itself, so that the last Release
        // either sees it or has already brought the count to 0 (the exchange
        // then fails and the loop sees 0).
        if ((seen & kWaiting) == 0 &&
            !word_.compare_exchange_weak(seen, seen | kWaiting, std::memory_order_acquire))
            continue;
        syscall(SYS_futex, FutexWord(word_), FUTEX_WAIT_PRIVATE, seen | kWaiting, nullptr, nullptr, 0);
        seen = word_.load(std::memory_order_acquire);
    }
}

}  // namespace dgfile_python
