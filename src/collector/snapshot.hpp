// The record one sampling pass publishes, and the arithmetic that fills it.
#pragma once

#include <cstdint>
#include <utility>

#include "../sys_reader/byte_counters.hpp"
#include "../sys_reader/cpu_times.hpp"

namespace hostprobe {

// Wall-clock time relative to the Unix epoch; nanoseconds are 0 to 999999999
// and count forward from `seconds`, also before the epoch.
struct CaptureTime {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
};

// Fields in the order and with the names of the result dictionary.
struct MetricsSnapshot {
    CaptureTime timestamp;
    float cpu_usage_percent = 0.0f;
    float cpu_user_percent = 0.0f;
    float cpu_system_percent = 0.0f;
    float cpu_idle_percent = 0.0f;
    float cpu_iowait_percent = 0.0f;
    float cpu_irq_percent = 0.0f;
    float cpu_softirq_percent = 0.0f;
    float cpu_steal_percent = 0.0f;
    float run_queue_length = 0.0f;
    std::uint64_t context_switches_per_sec = 0;
    float cpu_temp_celsius = 0.0f;
    std::uint32_t throttle_status = 0;
    std::uint64_t mem_total_bytes = 0;
    std::uint64_t mem_used_bytes = 0;
    std::uint64_t page_faults_minor_per_sec = 0;
    std::uint64_t page_faults_major_per_sec = 0;
    double uptime_seconds = 0.0;
    float load_avg_1 = 0.0f;
    float load_avg_5 = 0.0f;
    float load_avg_15 = 0.0f;
    std::uint64_t disk_read_bytes_per_sec = 0;
    std::uint64_t disk_write_bytes_per_sec = 0;
    std::uint64_t net_rx_bytes_per_sec = 0;
    std::uint64_t net_tx_bytes_per_sec = 0;
    std::uint64_t measure_clock = 0;
};

struct Period {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;  // below 1000000000
};

// Seconds since the epoch; a time before the epoch gives 0.
double seconds_since_epoch(CaptureTime time);

Period period_from_millis(std::uint64_t interval_ms);
double period_seconds(Period period);

// Percent of the total since boot; NaN throughout when the total is 0.
struct CpuShares {
    float usage = 0.0f;
    float user = 0.0f;
    float system = 0.0f;
    float idle = 0.0f;
    float iowait = 0.0f;
    float irq = 0.0f;
    float softirq = 0.0f;
    float steal = 0.0f;
};

CpuShares cpu_shares(const CpuTimes& times);

// Summed increase of each counter over the names both tables hold, per second.
std::pair<std::uint64_t, std::uint64_t> counter_rates(const ByteCounterMap& previous, const ByteCounterMap& current,
                                                      double seconds);

// Truncates toward zero; NaN and negatives give 0, 2^64 and above the maximum.
std::uint64_t saturating_u64_from_double(double value);

}  // namespace hostprobe
