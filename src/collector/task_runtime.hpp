// A pool of worker threads with a timer queue, created and shut down within
// one call. A task runs in steps; each step returns the time at which the
// task wants its next step, or nothing once it has finished. A task is only
// ever cancelled between steps.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace hostprobe {

class TaskRuntime {
public:
    using Clock = std::chrono::steady_clock;
    using Step = std::function<std::optional<Clock::time_point>()>;

    // A pool of `worker_count` threads (at least one). They start with the
    // first task, so that the first of them takes it at once rather than
    // going to sleep and being woken for it.
    explicit TaskRuntime(std::size_t worker_count);
    ~TaskRuntime();
    TaskRuntime(const TaskRuntime&) = delete;
    TaskRuntime& operator=(const TaskRuntime&) = delete;

    // Queues the task's first step and returns at once. The first spawn
    // starts the workers; it throws std::system_error when a thread cannot
    // be started, with the task dropped and every started thread joined.
    void spawn(Step task);

    // Drops every task that is not running, lets running steps finish, and
    // joins every worker, with no time limit. Later spawns are dropped.
    void shutdown();

private:
    struct Timed {
        Clock::time_point due;
        std::uint64_t order;
        Step task;
    };

    // A worker's loop: take the timers that fell due, then run one ready
    // step, or wait for work when there is none.
    void start_workers();
    void work();
    void take_due_timers_locked(Clock::time_point now);
    void sleep_until_work(std::unique_lock<std::mutex>& lock);
    // Runs `task` without the lock and queues its next step, if any.
    void run_step(std::unique_lock<std::mutex>& lock, Step task);
    void schedule_locked(Step task, Clock::time_point due);

    const std::size_t worker_count_;
    std::mutex mutex_;
    std::condition_variable work_or_stop_;
    bool stopping_ = false;
    std::deque<Step> ready_;
    std::vector<Timed> timers_;  // a min-heap on (due, order)
    std::uint64_t timer_order_ = 0;
    std::vector<std::thread> workers_;
};

// Processors this process may run on, at least 1.
std::size_t available_processors();

}  // namespace hostprobe
