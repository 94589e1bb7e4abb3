// CPU time counters and context switches from /proc/stat.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace hostprobe {

// The columns of a "cpu" line in the kernel's order: user, nice, system,
// idle, iowait, irq, softirq, steal, each in clock ticks since boot; a
// column the kernel did not write, or that does not parse, is nothing.
inline constexpr std::size_t cpu_mode_count = 8;
struct CpuTicks {
    std::array<std::optional<std::uint64_t>, cpu_mode_count> mode;
};

// One line of /proc/stat as a "cpu" (all CPUs) or "cpuN" line: the CPU's
// number (nothing for the aggregate) and its ticks; nothing for any other
// line, or one with fewer than seven columns.
struct CpuLine {
    std::optional<unsigned> cpu;
    CpuTicks ticks;
};
std::optional<CpuLine> parse_cpu_line(std::string_view line);

// Every counter of /proc/stat read natively; what is missing is nothing.
struct StatCounters {
    std::optional<CpuTicks> all_cpus;
    std::vector<std::pair<unsigned, CpuTicks>> per_cpu;  // online CPUs, in the kernel's order
    std::optional<std::uint64_t> context_switches;
};
StatCounters parse_stat_counters(std::string_view stat_text);
StatCounters read_stat_counters();

// The aggregate line's ticks, user and nice merged, and their sum; missing
// numbers count 0.
struct CpuTimes {
    std::uint64_t user = 0;  // user plus nice
    std::uint64_t system = 0;
    std::uint64_t idle = 0;
    std::uint64_t iowait = 0;
    std::uint64_t irq = 0;
    std::uint64_t softirq = 0;
    std::uint64_t steal = 0;
    std::uint64_t total = 0;
    std::uint64_t ctxt_delta = 0;  // context switches beyond the reference
};

CpuTimes parse_cpu_times(std::string_view stat_text, std::uint64_t reference_ctxt);
CpuTimes read_cpu_times(std::uint64_t reference_ctxt);

}  // namespace hostprobe
