#include "uptime.hpp"

#include "text.hpp"

namespace hostprobe {

double parse_uptime(std::string_view uptime_text) {
    // "12345.67 54321.00": seconds since boot, then the idle time summed
    // over all CPUs, which is not wanted.
    std::string_view seconds;
    if (!TokenCut::next(uptime_text, seconds)) return 0.0;
    return parse_f64(seconds).value_or(0.0);
}

double read_uptime() { return parse_file("/proc/uptime", parse_uptime); }

}  // namespace hostprobe
