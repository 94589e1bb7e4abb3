// Temperature of the first usable thermal zone, in degrees Celsius.
#pragma once

#include <optional>
#include <string_view>

namespace hostprobe {

// A zone's `temp` text (millidegrees) in degrees, or nothing when unusable.
std::optional<float> parse_zone_temperature(std::string_view temp_text);

// Scans the thermal_zone* directories of `thermal_dir`.
float read_cpu_temperature_in(const char* thermal_dir);
float read_cpu_temperature();

}  // namespace hostprobe
