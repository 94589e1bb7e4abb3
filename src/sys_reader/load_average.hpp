// Load averages and runnable entities from /proc/loadavg.
#pragma once

#include <string_view>

namespace hostprobe {

struct LoadAverage {
    float running = 0.0f;
    float load_1 = 0.0f;
    float load_5 = 0.0f;
    float load_15 = 0.0f;
};

LoadAverage parse_load_average(std::string_view loadavg_text);
LoadAverage read_load_average();

}  // namespace hostprobe
