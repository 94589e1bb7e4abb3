// Seconds since boot from /proc/uptime.
#pragma once

#include <string_view>

namespace hostprobe {

double parse_uptime(std::string_view uptime_text);
double read_uptime();

}  // namespace hostprobe
