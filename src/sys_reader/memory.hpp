// Memory in use from /proc/meminfo and page faults from /proc/vmstat.
#pragma once

#include <cstdint>
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

MemoryUsage parse_memory_usage(std::string_view meminfo_text);
MemoryUsage read_memory_usage();

PageFaultDeltas parse_page_faults(std::string_view vmstat_text, std::uint64_t reference_faults,
                                  std::uint64_t reference_major_faults);
PageFaultDeltas read_page_faults(std::uint64_t reference_faults, std::uint64_t reference_major_faults);

}  // namespace hostprobe
