// SPDX-License-Identifier: Apache-2.0
// Timing and rate text of the transfer records.
#include <gtest/gtest.h>

#include "utils.h"

namespace {

TEST(Utils, DurationIsMicrosecondsInWrapAroundArithmetic) {
    EXPECT_EQ(dur({10, 999999}, {11, 0}), 1u);
    EXPECT_EQ(dur({5, 0}, {7, 250}), 2000250u);
    EXPECT_EQ(dur({7, 0}, {7, 0}), 0u);
    // A clock that stepped back yields a wrapped value, not a crash.
    EXPECT_EQ(dur({8, 0}, {7, 999999}), ~std::uint64_t{0});
}

TEST(Utils, RateTextPicksTheLargestUnitReached) {
    char s[kSpeedTextSize];
    EXPECT_STREQ(speed(s, 1048576, 1000), "1000.00MB/sec");
    EXPECT_STREQ(speed(s, 1 << 30, 1000000), "1.00GB/sec");
    EXPECT_STREQ(speed(s, 1073741823, 1000000), "1024.00MB/sec");  // just below 2^30
    EXPECT_STREQ(speed(s, 1024, 1000000), "1.00KB/sec");
    EXPECT_STREQ(speed(s, 1023, 1000000), "1023.00B/sec");
    EXPECT_STREQ(speed(s, 123456, 0), "0.00B/sec");
    EXPECT_STREQ(speed(s, 0, 5), "0.00B/sec");
    EXPECT_STREQ(speed(s, -2048, 1000000), "-2048.00B/sec");
}

}  // namespace
