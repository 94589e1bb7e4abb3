#include "snapshot.hpp"

#include <limits>

#include "../sys_reader/saturating.hpp"

namespace hostprobe {

double seconds_since_epoch(CaptureTime time) {
    if (time.seconds < 0) return 0.0;
    return static_cast<double>(time.seconds) + static_cast<double>(time.nanoseconds) / 1000000000.0;
}

Period period_from_millis(std::uint64_t interval_ms) {
    return {interval_ms / 1000, static_cast<std::uint32_t>(interval_ms % 1000 * 1000000)};
}

double period_seconds(Period period) {
    return static_cast<double>(period.seconds) + static_cast<double>(period.nanoseconds) / 1000000000.0;
}

namespace {

// Two single-precision roundings: the quotient, then the scaling.
float share_percent(std::uint64_t part, float total) {
    float fraction = static_cast<float>(part) / total;
    return fraction * 100.0f;
}

}  // namespace

CpuShares cpu_shares(const CpuTimes& times) {
    const float total = static_cast<float>(times.total);
    const std::uint64_t busy = saturating_sub(times.total, times.idle);
    return {
        share_percent(busy, total),          share_percent(times.user, total),   share_percent(times.system, total),
        share_percent(times.idle, total),    share_percent(times.iowait, total), share_percent(times.irq, total),
        share_percent(times.softirq, total), share_percent(times.steal, total),
    };
}

std::pair<std::uint64_t, std::uint64_t> counter_rates(const ByteCounterMap& previous, const ByteCounterMap& current,
                                                      double seconds) {
    std::uint64_t first_sum = 0;
    std::uint64_t second_sum = 0;
    for (const auto& [name, counts] : current) {
        auto before = previous.find(name);
        if (before == previous.end()) continue;
        // Unsigned addition wraps modulo 2^64.
        first_sum += saturating_sub(counts.first, before->second.first);
        second_sum += saturating_sub(counts.second, before->second.second);
    }
    return {saturating_u64_from_double(static_cast<double>(first_sum) / seconds),
            saturating_u64_from_double(static_cast<double>(second_sum) / seconds)};
}

std::uint64_t saturating_u64_from_double(double value) {
    constexpr double two_to_64 = 18446744073709551616.0;
    if (!(value >= 0.0)) return 0;
    if (value >= two_to_64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(value);
}

}  // namespace hostprobe
