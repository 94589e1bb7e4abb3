// Queries of the board firmware through the vcgencmd tool.
#pragma once

#include <cstdint>
#include <string_view>

namespace hostprobe {

// The hexadecimal number after the first "0x" of `vcgencmd get_throttled`.
std::uint32_t parse_throttle_status(std::string_view output);
// The decimal number after the first '=' of `vcgencmd measure_clock arm`.
std::uint64_t parse_arm_clock(std::string_view output);

std::uint32_t read_throttle_status();
std::uint64_t read_arm_clock();

}  // namespace hostprobe
