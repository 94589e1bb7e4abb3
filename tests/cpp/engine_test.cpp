#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include "collector/channel.hpp"
#include "collector/sampler.hpp"
#include "collector/snapshot.hpp"
#include "collector/task_runtime.hpp"
#include "collector/ticker.hpp"

namespace hostprobe {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto u64_max = std::numeric_limits<std::uint64_t>::max();

TEST(Arithmetic, CpuSharesRoundTwiceInSinglePrecision) {
    // usage, user, system, idle, iowait, irq, softirq, steal. 1/3 rounded to
    // float, then times 100 rounded again: 33.333336, where one rounding of
    // 100/3 would give 33.333332. No usage where idle is above a wrapped total.
    using Shares = std::array<float, 8>;
    EXPECT_EQ(std::bit_cast<Shares>(cpu_shares({.user = 1, .system = 2, .idle = 500, .iowait = 3, .total = 3})),
              (Shares{0, 33.333336f, 66.66667f, 16666.668f, 100, 0, 0, 0}));
    for (float share : std::bit_cast<Shares>(cpu_shares(CpuTimes{}))) EXPECT_TRUE(std::isnan(share));
}

TEST(Arithmetic, PeriodsTimestampsAndSaturation) {
    EXPECT_EQ(period_seconds(period_from_millis(1500)), 1.5);
    EXPECT_EQ(period_from_millis(u64_max).nanoseconds, 615000000u);
    EXPECT_EQ(seconds_since_epoch({1700000000, 500000000}), 1700000000.5);
    EXPECT_EQ(seconds_since_epoch({-1, 999999999}), 0.0);
    const double doubles[] = {-0.5, NAN, 1.9, INFINITY, 18446744073709551616.0, 18446744073709549568.0};
    const std::uint64_t expected[] = {0, 0, 1, u64_max, u64_max, 18446744073709549568u};
    for (std::size_t i = 0; i < std::size(doubles); ++i) EXPECT_EQ(saturating_u64_from_double(doubles[i]), expected[i]);
}

TEST(Arithmetic, CounterRatesOverNamesBothTablesHold) {
    struct Row {
        ByteCounterMap previous;
        ByteCounterMap current;
        double seconds;
        std::pair<std::uint64_t, std::uint64_t> expected;
    };
    const Row rows[] = {
        {{{"sda", {1000, 2000}}, {"gone", {0, 0}}}, {{"sda", {1512, 1900}}, {"new", {99, 99}}}, 0.5, {1024, 0}},
        {{{"a", {0, 0}}, {"b", {100, 0}}}, {{"a", {10, 20}}, {"b", {103, 2}}}, 3.0, {4, 7}},
        {{{"a", {0, 0}}, {"b", {0, 0}}}, {{"a", {1ull << 63, 0}}, {"b", {(1ull << 63) + 5, 0}}}, 1.0, {5, 0}},
        {{{"a", {0, 0}}}, {{"a", {1ull << 63, 0}}}, 0.001, {u64_max, 0}},
    };
    for (const Row& row : rows) EXPECT_EQ(counter_rates(row.previous, row.current, row.seconds), row.expected);
}

TEST(Ticker, KeepsItsGridAndFallsBackThirtyYearsAhead) {
    const SteadyTime start = Clock::now();
    Ticker ticker = make_ticker(Period{0, 10000000}, start);
    EXPECT_EQ(ticker.next_due, start);
    for (int k = 1; k <= 5; ++k) take_tick(ticker, start + k * 25ms);  // late ticks stay due, unshifted
    EXPECT_EQ(ticker.next_due, start + 50ms);
    Ticker endless = make_ticker(period_from_millis(u64_max), start);
    take_tick(endless, start + 1s);
    EXPECT_EQ(endless.next_due, start + 1s + std::chrono::seconds(946080000));
}

TEST(Channel, KeepsTheOldestUnreceivedUntilTheSenderEnds) {
    auto channel = make_channel<int>(snapshot_channel_capacity);
    for (int i = 0; i < 11; ++i) channel.sender.send(i);
    EXPECT_EQ(channel.receiver.receive(), 0);
    channel.sender.send(11);
    for (int expected : {1, 2, 3, 4, 5, 6, 7, 11}) EXPECT_EQ(channel.receiver.receive(), expected);
    { auto sender = std::move(channel.sender); }
    EXPECT_EQ(channel.receiver.receive(), std::nullopt);
}

TEST(TaskRuntime, RunsStepsOnTimeAndShutsDownCompletely) {
    TaskRuntime runtime(2);
    std::atomic<int> steps = 0, slow_step = 0;  // 1 while it runs, 2 once it has finished
    std::atomic<bool> signals_blocked = false;
    const auto token = std::make_shared<int>();  // held by each task while it is queued
    runtime.spawn([&, token] { return std::optional(++steps < 3 ? Clock::now() + 5ms : Clock::now() + 1h); });
    runtime.spawn([&]() -> std::optional<SteadyTime> {
        sigset_t mask;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        signals_blocked = sigismember(&mask, SIGINT) && sigismember(&mask, SIGALRM);
        slow_step = 1;
        std::this_thread::sleep_for(100ms);
        slow_step = 2;
        return Clock::now();  // would run again at once
    });
    const auto started = Clock::now();
    while ((steps < 3 || slow_step != 1) && Clock::now() - started < 10s) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(steps, 3);
    EXPECT_TRUE(signals_blocked);
    runtime.shutdown();
    EXPECT_EQ(slow_step, 2);
    runtime.spawn([token] { return std::optional<SteadyTime>(); });
    EXPECT_EQ(token.use_count(), 1);  // the task waiting an hour and the later one were dropped
}

// The fake tool numbers its throttle answers, so each snapshot tells its
// pass. The receiver comes only once more passes than the channel holds
// have run.
TEST(Sampler, ALateReceiverGetsTheFirstPassThenTheNext) {
    char directory[] = "/tmp/hostprobe-sampler-XXXXXX";
    ASSERT_TRUE(mkdtemp(directory));
    const std::string passes = directory + std::string("/passes"), tool = directory + std::string("/vcgencmd");
    std::ofstream{passes};  // empty until the first pass
    std::ofstream(tool) << "#!/bin/sh\n[ \"$1\" = get_throttled ] || exit 1\nprintf x >> " << passes
                        << "\necho throttled=0x$(wc -c < " << passes << ")\n";
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
    setenv("PATH", (directory + std::string(":/usr/bin:/bin")).c_str(), 1);

    TaskRuntime runtime(available_processors());
    SnapshotReceiver receiver = start_sampler(runtime, period_from_millis(1));
    for (const auto started = Clock::now();
         std::filesystem::file_size(passes) <= snapshot_channel_capacity + 1 && Clock::now() - started < 30s;) {
        std::this_thread::sleep_for(1ms);
    }
    const std::optional<MetricsSnapshot> first = receiver.receive(), second = receiver.receive();
    runtime.shutdown();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(std::pair(first->throttle_status, second->throttle_status), std::pair(1u, 2u));
    // The first pass counts since boot, the second beyond the first's count.
    EXPECT_GT(first->context_switches_per_sec, 1000u);
    EXPECT_LT(second->context_switches_per_sec, first->context_switches_per_sec);
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace hostprobe
