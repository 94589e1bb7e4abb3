// Memory in use from /proc/meminfo and page faults from /proc/vmstat.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace hostprobe {

struct MemoryUsage {
    std::uint64_t total_bytes = 0;
    std::uint64_t used_bytes = 0;
};

struct PageFaultDeltas {
    std::uint64_t faults_delta = 0;
    std::uint64_t major_faults_delta = 0;
};

// Page faults since boot, all and major; nothing where /proc/vmstat has no
// such line or its number does not parse.
struct VmstatCounters {
    std::optional<std::uint64_t> page_faults;
    std::optional<std::uint64_t> major_page_faults;
};

MemoryUsage parse_memory_usage(std::string_view meminfo_text);
MemoryUsage read_memory_usage();

VmstatCounters parse_vmstat_counters(std::string_view vmstat_text);
VmstatCounters read_vmstat_counters();

PageFaultDeltas parse_page_faults(std::string_view vmstat_text, std::uint64_t reference_faults,
                                  std::uint64_t reference_major_faults);
PageFaultDeltas read_page_faults(std::uint64_t reference_faults, std::uint64_t reference_major_faults);

}  // namespace hostprobe
