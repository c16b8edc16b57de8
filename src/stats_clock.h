// SPDX-License-Identifier: Apache-2.0
// The statistics' clock: the cheap timer behind every duration the
// statistics show (user callbacks, driver requests, CPU copies), in ticks of
// the processor's invariant cycle counter where there is one (x86-64, 64-bit
// ARM), else nanoseconds of CLOCK_MONOTONIC.  Neither steps back as the wall
// clock may.  A system clock read costs tens of nanoseconds in a virtual
// machine; two per transfer would cost more than all the counting.
//
// Owns the counter's rate.  ticks() and ticks_to_us() may be called from any
// thread, with any lock held, once stats::on() returned true.
// calibrate_clock() is called by the statistics' set-up only, once, with no
// lock held (it spins for about 200 microseconds), before the set-up
// publishes that statistics are on.  No lock of its own: the rate is one
// relaxed atomic.
#pragma once

#include <cstdint>

namespace stats {

std::uint64_t ticks();
std::uint64_t ticks_to_us(std::uint64_t ticks);

// Measures the cycle counter against the monotonic clock; without a usable
// counter, ticks stay nanoseconds.
void calibrate_clock();

}  // namespace stats
