// Queries of the board firmware through the vcgencmd tool.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace hostprobe {

// Standard output of `vcgencmd WORDS...` decoded as UTF-8, or nothing when
// the tool is not found, fails, or exceeds its time or output limit.
std::optional<std::string> run_vcgencmd(std::initializer_list<const char*> words);

std::optional<std::uint32_t> parse_hex_u32(std::string_view text);
std::uint32_t parse_throttle_status(std::string_view output);
std::uint64_t parse_arm_clock(std::string_view output);

std::uint32_t read_throttle_status();
std::uint64_t read_arm_clock();

}  // namespace hostprobe
