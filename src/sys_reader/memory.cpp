#include "memory.hpp"

#include "saturating.hpp"
#include "text.hpp"

namespace hostprobe {

MemoryUsage parse_memory_usage(std::string_view meminfo_text) {
    std::uint64_t total_kib = 0;
    std::uint64_t free_kib = 0;
    std::uint64_t buffers_kib = 0;
    std::uint64_t cached_kib = 0;
    for (std::string_view line : split_lines(meminfo_text)) {
        std::string_view rest = line;
        std::string_view key;
        if (!TokenCut::next(rest, key)) continue;
        if (key == "MemTotal:") {
            total_kib = keyed_line_value(line);
        } else if (key == "MemFree:") {
            free_kib = keyed_line_value(line);
        } else if (key == "Buffers:") {
            buffers_kib = keyed_line_value(line);
        } else if (key == "Cached:") {
            cached_kib = keyed_line_value(line);
        }
    }
    // The sum and the shifts wrap modulo 2^64.
    const std::uint64_t held_kib = free_kib + buffers_kib + cached_kib;
    MemoryUsage usage;
    usage.total_bytes = total_kib << 10;
    usage.used_bytes = saturating_sub(total_kib, held_kib) << 10;
    return usage;
}

MemoryUsage read_memory_usage() { return parse_file("/proc/meminfo", parse_memory_usage); }

VmstatCounters parse_vmstat_counters(std::string_view vmstat_text) {
    // The spaces keep longer counter names ("pgfault_...") out.
    const auto number_of = [&](std::string_view prefix) -> std::optional<std::uint64_t> {
        const auto line = last_line_starting_with(vmstat_text, prefix);
        return line ? keyed_line_number(*line) : std::nullopt;
    };
    return {number_of("pgfault "), number_of("pgmajfault ")};
}

VmstatCounters read_vmstat_counters() { return parse_file("/proc/vmstat", parse_vmstat_counters); }

PageFaultDeltas parse_page_faults(std::string_view vmstat_text, std::uint64_t reference_faults,
                                  std::uint64_t reference_major_faults) {
    const VmstatCounters counters = parse_vmstat_counters(vmstat_text);
    PageFaultDeltas deltas;
    deltas.faults_delta = saturating_sub(counters.page_faults.value_or(0), reference_faults);
    deltas.major_faults_delta = saturating_sub(counters.major_page_faults.value_or(0), reference_major_faults);
    return deltas;
}

PageFaultDeltas read_page_faults(std::uint64_t reference_faults, std::uint64_t reference_major_faults) {
    return parse_file("/proc/vmstat", parse_page_faults, reference_faults, reference_major_faults);
}

}  // namespace hostprobe
