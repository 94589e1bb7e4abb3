// Machine-wide CPU time counters and context switches from /proc/stat.
#pragma once

#include <cstdint>
#include <string_view>

namespace hostprobe {

// Cumulative counters since boot, in the kernel's clock ticks.
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
