// parse_cpu_times against a model of /proc/stat's rules: the "cpu " line's
// numbers 1 to 8 (steal only when the line has it), the "ctxt " line's
// count, later lines winning; checked at several context-switch references.
#include "fuzz_support.hpp"
#include "sys_reader/cpu_times.hpp"

namespace {

struct Expected {
    std::uint64_t ticks[8] = {};  // user, nice, system, idle, iowait, irq, softirq, steal
    std::uint64_t ctxt = 0;
};

Expected model(std::string_view text) {
    Expected expected;
    for (std::string_view line : fuzz::reference_lines(text)) {
        if (line.substr(0, 4) == "cpu ") {
            const std::vector<std::string_view> tokens = fuzz::reference_tokens(line);
            if (tokens.size() < 8) continue;
            for (std::size_t i = 1; i < tokens.size() && i <= 8; ++i) {
                expected.ticks[i - 1] = fuzz::u64_or_zero(tokens[i]);
            }
        } else if (line.size() > 4 && line.substr(0, 5) == "ctxt ") {
            expected.ctxt = fuzz::reference_keyed_value(line);
        }
    }
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::valid_text(data, size);
    const Expected expected = model(text);
    const std::uint64_t* t = expected.ticks;
    std::uint64_t total = 0;
    for (std::uint64_t count : expected.ticks) total += count;  // wraps, as the kernel's sum would

    const std::uint64_t references[] = {0, expected.ctxt / 2, expected.ctxt, expected.ctxt + 1, UINT64_MAX};
    for (std::uint64_t reference : references) {
        const hostprobe::CpuTimes times = hostprobe::parse_cpu_times(text, reference);
        fuzz::check(times.user == t[0] + t[1], "user");
        fuzz::check(times.system == t[2] && times.idle == t[3] && times.iowait == t[4], "system, idle, iowait");
        fuzz::check(times.irq == t[5] && times.softirq == t[6] && times.steal == t[7], "irq, softirq, steal");
        fuzz::check(times.total == total, "total");
        fuzz::check(times.ctxt_delta == fuzz::saturating_difference(expected.ctxt, reference), "ctxt_delta");
    }
    return 0;
}
