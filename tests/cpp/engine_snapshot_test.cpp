#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "collector/snapshot.hpp"

namespace hostprobe {
namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

TEST(CpuShares, SplitTheTotalInTwoSinglePrecisionSteps) {
    CpuTimes times;
    times.user = 400;
    times.system = 100;
    times.idle = 200;
    times.iowait = 100;
    times.total = 800;
    const CpuShares shares = cpu_shares(times);
    EXPECT_EQ(shares.usage, 75.0f);
    EXPECT_EQ(shares.user, 50.0f);
    EXPECT_EQ(shares.system, 12.5f);
    EXPECT_EQ(shares.idle, 25.0f);
    EXPECT_EQ(shares.iowait, 12.5f);
    EXPECT_EQ(shares.irq, 0.0f);
    EXPECT_EQ(shares.softirq, 0.0f);
    EXPECT_EQ(shares.steal, 0.0f);
}

TEST(CpuShares, RoundTheQuotientBeforeScaling) {
    CpuTimes times;
    times.user = 1;
    times.total = 3;
    // 1/3 rounded to float, times 100 rounded again: 33.333336, where a
    // single rounding of 100/3 would give 33.333332.
    EXPECT_EQ(static_cast<double>(cpu_shares(times).user), 33.333335876464844);
}

TEST(CpuShares, AreNaNWithoutAnyTime) {
    const CpuShares shares = cpu_shares(CpuTimes{});
    for (float share : {shares.usage, shares.user, shares.system, shares.idle, shares.iowait, shares.irq,
                        shares.softirq, shares.steal}) {
        EXPECT_TRUE(std::isnan(share));
    }
}

TEST(CpuShares, BusyTimeSaturatesWhenIdleExceedsAWrappedTotal) {
    CpuTimes times;
    times.idle = 500;
    times.total = 100;
    EXPECT_EQ(cpu_shares(times).usage, 0.0f);
}

TEST(PeriodSeconds, FromMilliseconds) {
    struct Row {
        std::uint64_t millis;
        std::uint64_t seconds;
        std::uint32_t nanoseconds;
        double in_seconds;
    };
    const Row rows[] = {
        {1500, 1, 500000000, 1.5},
        {1, 0, 1000000, 0.001},
        {1000, 1, 0, 1.0},
        {u64_max, u64_max / 1000, 615000000, 18446744073709551.615},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.millis);
        const Period period = period_from_millis(row.millis);
        EXPECT_EQ(period.seconds, row.seconds);
        EXPECT_EQ(period.nanoseconds, row.nanoseconds);
        EXPECT_EQ(period_seconds(period), row.in_seconds);
    }
}

TEST(SaturatingConversion, TruncatesAndSaturates) {
    struct Row {
        double value;
        std::uint64_t expected;
    };
    const Row rows[] = {
        {0.0, 0},
        {-0.0, 0},
        {1.9, 1},
        {-0.5, 0},
        {-1e300, 0},
        {std::numeric_limits<double>::quiet_NaN(), 0},
        {std::numeric_limits<double>::infinity(), u64_max},
        {18446744073709551616.0, u64_max},
        {18446744073709549568.0, 18446744073709549568u},  // largest double below 2^64
        {9007199254740993.0, 9007199254740992u},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        EXPECT_EQ(saturating_u64_from_double(row.value), row.expected);
    }
}

TEST(CounterRates, SumIncreasesOfNamesBothTablesHold) {
    struct Row {
        const char* what;
        ByteCounterMap previous;
        ByteCounterMap current;
        double seconds;
        std::pair<std::uint64_t, std::uint64_t> expected;
    };
    const Row rows[] = {
        {"new device left out", {{"sda", {1000, 2000}}}, {{"sda", {1512, 2000}}, {"sdb", {99, 99}}}, 0.5, {1024, 0}},
        {"counter went backwards", {{"eth0", {5000, 100}}}, {{"eth0", {4000, 300}}}, 2.0, {0, 100}},
        {"empty previous table", {}, {{"eth0", {5000, 100}}}, 1.0, {0, 0}},
        {"empty current table", {{"eth0", {5000, 100}}}, {}, 1.0, {0, 0}},
        {"vanished device ignored", {{"a", {1, 1}}, {"b", {5, 5}}}, {{"a", {11, 21}}}, 1.0, {10, 20}},
        {"truncated, not rounded", {{"a", {0, 0}}}, {{"a", {10, 20}}}, 3.0, {3, 6}},
        {"several devices add up", {{"a", {0, 0}}, {"b", {100, 0}}}, {{"a", {7, 1}}, {"b", {103, 2}}}, 1.0, {10, 3}},
        {"sum wraps modulo 2^64",
         {{"a", {0, 0}}, {"b", {0, 0}}},
         {{"a", {1ull << 63, 0}}, {"b", {(1ull << 63) + 5, 0}}},
         1.0,
         {5, 0}},
        {"rate saturates", {{"a", {0, 0}}}, {{"a", {1ull << 63, 0}}}, 0.001, {u64_max, 0}},
        {"huge period", {{"a", {0, 0}}}, {{"a", {1ull << 40, 0}}}, 1.8446744073709552e16, {0, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(counter_rates(row.previous, row.current, row.seconds), row.expected);
    }
}

}  // namespace
}  // namespace hostprobe
