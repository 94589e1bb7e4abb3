#include "sampler.hpp"

#include <time.h>

#include <chrono>
#include <memory>
#include <optional>

#include "../sys_reader/cpu_temperature.hpp"
#include "../sys_reader/firmware.hpp"
#include "../sys_reader/load_average.hpp"
#include "../sys_reader/memory.hpp"
#include "../sys_reader/uptime.hpp"
#include "ticker.hpp"

namespace hostprobe {

namespace {

struct SamplerState {
    explicit SamplerState(Period sampling_period, SnapshotSender snapshot_sender)
        : period(sampling_period), sender(std::move(snapshot_sender)) {}

    Period period;
    SnapshotSender sender;
    // Each reader measures its counts beyond these; they hold the increases
    // of the pass before, 0 for the first pass.
    std::uint64_t reference_ctxt = 0;
    std::uint64_t reference_faults = 0;
    std::uint64_t reference_major_faults = 0;
    ByteCounterMap previous_disk;
    ByteCounterMap previous_net;
};

CaptureTime wall_clock_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return {static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

// One sampling pass: every reader once, in a fixed order.
MetricsSnapshot take_sample(SamplerState& state) {
    const CpuTimes cpu = read_cpu_times(state.reference_ctxt);
    const LoadAverage load = read_load_average();
    const float temperature = read_cpu_temperature();
    const std::uint32_t throttle = read_throttle_status();
    const std::uint64_t arm_clock = read_arm_clock();
    const MemoryUsage memory = read_memory_usage();
    const PageFaultDeltas faults = read_page_faults(state.reference_faults, state.reference_major_faults);
    const double uptime = read_uptime();

    const double seconds = period_seconds(state.period);
    ByteCounterMap disk = read_disk_counters();
    const auto [disk_read, disk_write] = counter_rates(state.previous_disk, disk, seconds);
    state.previous_disk = std::move(disk);
    ByteCounterMap net = read_net_counters();
    const auto [net_rx, net_tx] = counter_rates(state.previous_net, net, seconds);
    state.previous_net = std::move(net);
    const CaptureTime timestamp = wall_clock_now();

    state.reference_ctxt = cpu.ctxt_delta;
    state.reference_faults = faults.faults_delta;
    state.reference_major_faults = faults.major_faults_delta;

    const CpuShares shares = cpu_shares(cpu);
    return {
        .timestamp = timestamp,
        .cpu_usage_percent = shares.usage,
        .cpu_user_percent = shares.user,
        .cpu_system_percent = shares.system,
        .cpu_idle_percent = shares.idle,
        .cpu_iowait_percent = shares.iowait,
        .cpu_irq_percent = shares.irq,
        .cpu_softirq_percent = shares.softirq,
        .cpu_steal_percent = shares.steal,
        .run_queue_length = load.running,
        .context_switches_per_sec = cpu.ctxt_delta,
        .cpu_temp_celsius = temperature,
        .throttle_status = throttle,
        .mem_total_bytes = memory.total_bytes,
        .mem_used_bytes = memory.used_bytes,
        .page_faults_minor_per_sec = faults.faults_delta,
        .page_faults_major_per_sec = faults.major_faults_delta,
        .uptime_seconds = uptime,
        .load_avg_1 = load.load_1,
        .load_avg_5 = load.load_5,
        .load_avg_15 = load.load_15,
        .disk_read_bytes_per_sec = disk_read,
        .disk_write_bytes_per_sec = disk_write,
        .net_rx_bytes_per_sec = net_rx,
        .net_tx_bytes_per_sec = net_tx,
        .measure_clock = arm_clock,
    };
}

// Runs as a task in steps of at most one pass, so that the runtime can
// cancel it between passes even when ticks are overdue.
class SamplerTask {
public:
    SamplerTask(Period period, SnapshotSender sender)
        : state_(std::make_shared<SamplerState>(period, std::move(sender))) {}

    std::optional<SteadyTime> operator()() {
        if (!ticker_) {
            state_->previous_disk = read_disk_counters();
            state_->previous_net = read_net_counters();
            ticker_ = make_ticker(state_->period, std::chrono::steady_clock::now());
        }
        if (std::chrono::steady_clock::now() >= ticker_->next_due) {
            const MetricsSnapshot snapshot = take_sample(*state_);
            state_->sender.send(snapshot);
            take_tick(*ticker_, std::chrono::steady_clock::now());
        }
        return ticker_->next_due;
    }

private:
    // Shared only because the runtime's task type must be copyable; one
    // task owns it.
    std::shared_ptr<SamplerState> state_;
    std::optional<Ticker> ticker_;
};

}  // namespace

SnapshotReceiver start_sampler(TaskRuntime& runtime, Period period) {
    auto channel = make_channel<MetricsSnapshot>(snapshot_channel_capacity);
    runtime.spawn(SamplerTask(period, std::move(channel.sender)));
    return std::move(channel.receiver);
}

}  // namespace hostprobe
