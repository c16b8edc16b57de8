// SPDX-License-Identifier: Apache-2.0
#include "stats_clock.h"

#include <time.h>
#if defined(__x86_64__)
#include <cpuid.h>
#include <x86intrin.h>
#endif

#include <atomic>

namespace stats {

namespace {

// Cycle-counter ticks per microsecond; 0 while ticks are nanoseconds (no
// calibration yet, or no usable counter).  Ticks are taken and converted
// only after the set-up published that statistics are on, which it does
// after the calibration: one timing never mixes the two kinds of tick.
std::atomic<double> ticks_per_us{0.0};

std::uint64_t monotonic_ns() {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

#if defined(__x86_64__)
std::uint64_t read_counter() { return __rdtsc(); }
// Only an invariant counter ticks at one rate on every core and in every
// power state.
bool counter_usable() {
    unsigned eax, ebx, ecx, edx;
    return __get_cpuid(0x80000007, &eax, &ebx, &ecx, &edx) != 0 && (edx & (1u << 8)) != 0;
}
#elif defined(__aarch64__)
std::uint64_t read_counter() {
    std::uint64_t value;
    asm volatile("isb; mrs %0, cntvct_el0" : "=r"(value));
    return value;
}
bool counter_usable() { return true; }
#else
std::uint64_t read_counter() { return monotonic_ns(); }
bool counter_usable() { return false; }
#endif

}  // namespace

std::uint64_t ticks() {
    return ticks_per_us.load(std::memory_order_relaxed) != 0.0 ? read_counter() : monotonic_ns();
}

std::uint64_t ticks_to_us(std::uint64_t t) {
    const double rate = ticks_per_us.load(std::memory_order_relaxed);
    return static_cast<std::uint64_t>(static_cast<double>(t) / (rate != 0.0 ? rate : 1000.0));
}

// The counter's rate over 200 microseconds: precise enough for power-of-two
// latency buckets, paid once per process.
void calibrate_clock() {
    if (!counter_usable()) return;
    const std::uint64_t ns0 = monotonic_ns(), t0 = read_counter();
    std::uint64_t ns1, t1;
    do {
        ns1 = monotonic_ns();
        t1 = read_counter();
    } while (ns1 - ns0 < 200000);
    if (t1 <= t0) return;
    ticks_per_us.store(static_cast<double>(t1 - t0) * 1000.0 / static_cast<double>(ns1 - ns0),
                       std::memory_order_relaxed);
}

}  // namespace stats
