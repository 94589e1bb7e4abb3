#include "task_runtime.hpp"

#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <system_error>

#include "out_of_memory.hpp"

namespace hostprobe {

namespace {

constexpr auto later = [](const auto& a, const auto& b) { return a.due != b.due ? a.due > b.due : a.order > b.order; };

// Workers block asynchronous signals so that they go to the caller's
// threads, whose handlers expect them, and do not interrupt the readers.
class WorkerSignalMask {
public:
    WorkerSignalMask() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved_);
    }
    ~WorkerSignalMask() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

private:
    sigset_t saved_;
};

void report_task_failure(const char* what) {
    std::fprintf(stderr, "hostprobe: a worker task ended abnormally: %s\n", what);
    std::fflush(stderr);
}

}  // namespace

std::size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return std::max(1, CPU_COUNT(&set));
}

TaskRuntime::TaskRuntime(std::size_t worker_count) : worker_count_(std::max<std::size_t>(worker_count, 1)) {}

TaskRuntime::~TaskRuntime() { shutdown(); }

void TaskRuntime::spawn(Step task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        ready_.push_back(std::move(task));
    }
    if (workers_.empty()) {
        start_workers();
    } else {
        work_or_stop_.notify_one();
    }
}

void TaskRuntime::start_workers() {
    WorkerSignalMask mask;
    try {
        for (std::size_t i = 0; i < worker_count_; ++i) workers_.emplace_back([this] { work(); });
    } catch (...) {
        shutdown();
        throw;
    }
}

void TaskRuntime::shutdown() {
    std::deque<Step> cancelled_ready;
    std::vector<Timed> cancelled_timed;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        cancelled_ready.swap(ready_);
        cancelled_timed.swap(timers_);
    }
    work_or_stop_.notify_all();
    // The cancelled tasks are destroyed here, outside the lock.
    cancelled_ready.clear();
    cancelled_timed.clear();
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
}

void TaskRuntime::schedule_locked(Step task, Clock::time_point due) {
    timers_.push_back({due, timer_order_++, std::move(task)});
    std::push_heap(timers_.begin(), timers_.end(), later);
}

void TaskRuntime::take_due_timers_locked(Clock::time_point now) {
    while (!timers_.empty() && timers_.front().due <= now) {
        std::pop_heap(timers_.begin(), timers_.end(), later);
        ready_.push_back(std::move(timers_.back().task));
        timers_.pop_back();
    }
}

void TaskRuntime::sleep_until_work(std::unique_lock<std::mutex>& lock) {
    if (timers_.empty()) {
        work_or_stop_.wait(lock, [&] { return stopping_ || !ready_.empty() || !timers_.empty(); });
        return;
    }
    const Clock::time_point due = timers_.front().due;
    work_or_stop_.wait_until(
        lock, due, [&] { return stopping_ || !ready_.empty() || timers_.empty() || timers_.front().due < due; });
}

void TaskRuntime::run_step(std::unique_lock<std::mutex>& lock, Step task) {
    lock.unlock();
    std::optional<Clock::time_point> next;
    try {
        next = task();
    } catch (const std::bad_alloc&) {
        end_process_out_of_memory();
    } catch (const std::exception& failure) {
        report_task_failure(failure.what());
    } catch (...) {
        report_task_failure("unknown failure");
    }
    lock.lock();
    if (!next || stopping_) {
        // A finished or cancelled task is destroyed outside the lock.
        lock.unlock();
        task = nullptr;
        lock.lock();
        return;
    }
    if (*next > Clock::now()) {
        // This worker waits for the timer itself unless other work comes.
        schedule_locked(std::move(task), *next);
        return;
    }
    // Already due: to the back of the queue, so that the task gives up its
    // thread between steps; another worker is woken only for what this one
    // does not take next.
    ready_.push_back(std::move(task));
    if (ready_.size() > 1) {
        lock.unlock();
        work_or_stop_.notify_one();
        lock.lock();
    }
}

void TaskRuntime::work() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        take_due_timers_locked(Clock::now());
        if (ready_.empty()) {
            sleep_until_work(lock);
            continue;
        }
        Step task = std::move(ready_.front());
        ready_.pop_front();
        run_step(lock, std::move(task));
    }
}

}  // namespace hostprobe
