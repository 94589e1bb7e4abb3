// Temperature of the first usable thermal zone, in degrees Celsius.
#pragma once

#include <optional>
#include <string_view>

namespace hostprobe {

// A zone's `temp` text (millidegrees) in degrees, or nothing when unusable.
std::optional<float> parse_zone_temperature(std::string_view temp_text);

// The first zone, in byte order of the thermal_zone* names, whose reading
// parses; 0 when there is none.
float read_cpu_temperature();

}  // namespace hostprobe
