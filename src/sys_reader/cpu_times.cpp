#include "cpu_times.hpp"

#include "saturating.hpp"
#include "text.hpp"

namespace hostprobe {

CpuTimes parse_cpu_times(std::string_view stat_text, std::uint64_t reference_ctxt) {
    // user, nice, system, idle, iowait, irq, softirq, steal
    std::uint64_t ticks[8] = {};
    std::uint64_t ctxt = 0;
    for (std::string_view line : split_lines(stat_text)) {
        // "cpu " with its space: per-CPU lines ("cpu0 ...") are not wanted.
        if (line.starts_with("cpu ")) {
            const auto tokens = leading_tokens<9>(line, 9);
            if (tokens.count < 8) continue;
            // Kernels before 2.6.11 write no steal column.
            const std::size_t columns = tokens.count >= 9 ? 8 : 7;
            for (std::size_t i = 0; i < columns; ++i)
                ticks[i] = parse_unsigned<std::uint64_t>(tokens.token[i + 1], 10).value_or(0);
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
