#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <variant>

#include "collector/sampler.hpp"
#include "collector/task_runtime.hpp"
#include "collector/ticker.hpp"

namespace hostprobe {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A flag one thread raises and others wait for.
class Gate {
public:
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [&] { return open_; });
    }
    bool wait_for(Clock::duration limit) {
        std::unique_lock lock(mutex_);
        return opened_.wait_for(lock, limit, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// Raises a flag when the task owning it is destroyed.
struct DestructionWitness {
    explicit DestructionWitness(std::shared_ptr<std::atomic<bool>> destroyed) : flag(std::move(destroyed)) {}
    ~DestructionWitness() { flag->store(true); }
    std::shared_ptr<std::atomic<bool>> flag;
};

TEST(Ticker, RefusesAZeroPeriod) {
    try {
        make_ticker(Period{0, 0}, Clock::now());
        FAIL() << "a zero period was accepted";
    } catch (const std::invalid_argument& refusal) {
        EXPECT_STREQ(refusal.what(), "`period` must be non-zero.");
    }
}

TEST(Ticker, StaysOnTheGridFixedAtCreationWhenTicksAreLate) {
    const SteadyTime start = Clock::now();
    Ticker ticker = make_ticker(Period{0, 10000000}, start);
    EXPECT_EQ(ticker.next_due, start);
    for (int k = 1; k <= 50; ++k) {
        // Each tick is taken 25 ms late: the missed ones stay due, unshifted.
        take_tick(ticker, start + k * 25ms);
        EXPECT_EQ(ticker.next_due, start + k * 10ms);
    }
}

TEST(Ticker, FallsBackThirtyYearsAheadWhenTheNextTickIsBeyondTheClock) {
    const SteadyTime now = Clock::now();
    Ticker ticker = make_ticker(period_from_millis(std::numeric_limits<std::uint64_t>::max()), now);
    take_tick(ticker, now + 1s);
    EXPECT_EQ(ticker.next_due, now + 1s + std::chrono::seconds(946080000));
}

TEST(TaskRuntime, RunsOneWorkerPerRequestedThread) {
    constexpr int workers = 3;
    TaskRuntime runtime(workers);
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0;
    int met = 0;
    int finished = 0;
    for (int i = 0; i < workers; ++i) {
        runtime.spawn([&]() -> std::optional<SteadyTime> {
            std::unique_lock lock(mutex);
            ++running;
            changed.notify_all();
            // All can meet only when every task has a thread of its own.
            if (changed.wait_for(lock, 10s, [&] { return running == workers; })) ++met;
            ++finished;
            changed.notify_all();
            return std::nullopt;
        });
    }
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return finished == workers; }));
        EXPECT_EQ(met, workers);
    }
    runtime.shutdown();
}

TEST(TaskRuntime, StepsAgainAtTheTimeATaskAsksFor) {
    TaskRuntime runtime(1);
    Gate done;
    std::atomic<int> steps{0};
    runtime.spawn([&]() -> std::optional<SteadyTime> {
        if (++steps == 3) {
            done.open();
            return std::nullopt;
        }
        return Clock::now() + 5ms;
    });
    EXPECT_TRUE(done.wait_for(10s));
    runtime.shutdown();
    EXPECT_EQ(steps.load(), 3);
}

TEST(TaskRuntime, ShutdownLetsARunningStepFinishThenCancelsTheTask) {
    TaskRuntime runtime(2);
    Gate step_started;
    Gate release_step;
    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    std::atomic<int> steps{0};
    std::atomic<bool> step_finished{false};
    runtime.spawn([&, witness = std::make_shared<DestructionWitness>(destroyed)]() -> std::optional<SteadyTime> {
        ++steps;
        step_started.open();
        release_step.wait();
        step_finished = true;
        return Clock::now();  // would run again at once if not cancelled
    });
    step_started.wait();
    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(destroyed->load());
        release_step.open();
    });
    runtime.shutdown();
    releaser.join();
    EXPECT_TRUE(step_finished.load());
    EXPECT_TRUE(destroyed->load());
    EXPECT_EQ(steps.load(), 1);
}

TEST(TaskRuntime, ShutdownCancelsWaitingTasksAtOnce) {
    TaskRuntime runtime(1);
    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    Gate stepped;
    runtime.spawn([&, witness = std::make_shared<DestructionWitness>(destroyed)]() -> std::optional<SteadyTime> {
        stepped.open();
        return Clock::now() + 1h;
    });
    stepped.wait();
    const auto before = Clock::now();
    runtime.shutdown();
    EXPECT_TRUE(destroyed->load());
    EXPECT_LT(Clock::now() - before, 1h);
}

TEST(TaskRuntime, AFailingTaskIsReportedAndTheOthersGoOn) {
    TaskRuntime runtime(1);
    Gate later_task_ran;
    testing::internal::CaptureStderr();
    runtime.spawn([]() -> std::optional<SteadyTime> { throw std::runtime_error("broken step"); });
    runtime.spawn([&]() -> std::optional<SteadyTime> {
        later_task_ran.open();
        return std::nullopt;
    });
    EXPECT_TRUE(later_task_ran.wait_for(10s));
    runtime.shutdown();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("broken step"), std::string::npos);
}

TEST(TaskRuntime, AvailableProcessorsFollowTheAffinityMask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(available_processors(), static_cast<std::size_t>(CPU_COUNT(&set)));
}

TEST(Sampler, AZeroPeriodClosesTheChannelWithADiagnostic) {
    testing::internal::CaptureStderr();
    TaskRuntime runtime(1);
    SnapshotReceiver receiver = start_sampler(runtime, Period{0, 0});
    EXPECT_TRUE(std::holds_alternative<ChannelClosed>(receiver.receive()));
    runtime.shutdown();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("`period` must be non-zero."), std::string::npos);
}

TEST(Sampler, PublishesAPassPerTickUntilShutdown) {
    TaskRuntime runtime(2);
    SnapshotReceiver receiver = start_sampler(runtime, Period{0, 2000000});
    for (int i = 0; i < 3; ++i) {
        auto received = receiver.receive();
        // A slow receiver may be told it lagged; a snapshot must follow.
        if (std::holds_alternative<ChannelLagged>(received)) received = receiver.receive();
        ASSERT_TRUE(std::holds_alternative<MetricsSnapshot>(received));
        EXPECT_GT(std::get<MetricsSnapshot>(received).timestamp.seconds, 0);
    }
    runtime.shutdown();
    // The sampler and its sending end are gone: what is left is drained,
    // then the channel is closed.
    for (;;) {
        auto received = receiver.receive();
        if (std::holds_alternative<ChannelClosed>(received)) break;
    }
}

TEST(Sampler, FallsBehindWhenTheReceiverSleepsThroughEightPasses) {
    TaskRuntime runtime(1);
    SnapshotReceiver receiver = start_sampler(runtime, Period{0, 1000000});
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(std::holds_alternative<ChannelLagged>(receiver.receive()));
    runtime.shutdown();
}

TEST(Sampler, HandsEachPassTheIncreasesOfThePassBefore) {
    auto channel = make_broadcast_channel<MetricsSnapshot>(8);
    SamplerState state(Period{1, 0}, std::move(channel.sender));
    const MetricsSnapshot first = take_sample(state);
    EXPECT_EQ(state.reference_ctxt, first.context_switches_per_sec);
    EXPECT_EQ(state.reference_faults, first.page_faults_minor_per_sec);
    EXPECT_EQ(state.reference_major_faults, first.page_faults_major_per_sec);
}

}  // namespace
}  // namespace hostprobe
