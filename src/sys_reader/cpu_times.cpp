#include "cpu_times.hpp"

#include "saturating.hpp"
#include "text.hpp"

namespace hostprobe {

std::optional<CpuLine> parse_cpu_line(std::string_view line) {
    if (!line.starts_with("cpu")) return std::nullopt;
    const auto tokens = leading_tokens<cpu_mode_count + 1>(line, cpu_mode_count + 1);
    // Kernels before 2.6.11 write no steal column.
    if (tokens.count < cpu_mode_count) return std::nullopt;
    CpuLine parsed;
    const std::string_view label = tokens.token[0];
    if (label != "cpu") {
        const auto number = parse_unsigned<std::uint32_t>(label.substr(3), 10);
        if (!number || label[3] == '+') return std::nullopt;
        parsed.cpu = *number;
    }
    for (std::size_t i = 0; i + 1 < tokens.count; ++i)
        parsed.ticks.mode[i] = parse_unsigned<std::uint64_t>(tokens.token[i + 1], 10);
    return parsed;
}

StatCounters parse_stat_counters(std::string_view stat_text) {
    StatCounters counters;
    for (std::string_view line : split_lines(stat_text)) {
        if (auto cpu_line = parse_cpu_line(line)) {
            if (cpu_line->cpu) {
                counters.per_cpu.emplace_back(*cpu_line->cpu, cpu_line->ticks);
            } else {
                counters.all_cpus = cpu_line->ticks;
            }
        } else if (line.starts_with("ctxt ")) {
            counters.context_switches = keyed_line_number(line);
        }
    }
    return counters;
}

StatCounters read_stat_counters() { return parse_file("/proc/stat", parse_stat_counters); }

CpuTimes parse_cpu_times(std::string_view stat_text, std::uint64_t reference_ctxt) {
    std::uint64_t ticks[cpu_mode_count] = {};
    std::uint64_t ctxt = 0;
    for (std::string_view line : split_lines(stat_text)) {
        // "cpu " with its space: per-CPU lines ("cpu0 ...") are not wanted.
        if (line.starts_with("cpu ")) {
            const auto cpu_line = parse_cpu_line(line);
            if (!cpu_line) continue;
            for (std::size_t i = 0; i < cpu_mode_count; ++i) ticks[i] = cpu_line->ticks.mode[i].value_or(0);
        } else if (line.starts_with("ctxt ")) {
            ctxt = keyed_line_value(line);
        }
    }
    CpuTimes times;
    times.user = ticks[0] + ticks[1];
    times.system = ticks[2];
    times.idle = ticks[3];
    times.iowait = ticks[4];
    times.irq = ticks[5];
    times.softirq = ticks[6];
    times.steal = ticks[7];
    for (std::uint64_t count : ticks) times.total += count;  // wraps modulo 2^64
    times.ctxt_delta = saturating_sub(ctxt, reference_ctxt);
    return times;
}

CpuTimes read_cpu_times(std::uint64_t reference_ctxt) {
    return parse_file("/proc/stat", parse_cpu_times, reference_ctxt);
}

}  // namespace hostprobe
