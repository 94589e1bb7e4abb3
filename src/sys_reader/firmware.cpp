#include "firmware.hpp"

#include <chrono>
#include <cstddef>
#include <string>

#include "child_process.hpp"
#include "text.hpp"
#include "utf8.hpp"

namespace hostprobe {

namespace {

// A query that takes longer is abandoned: the caller holds the Python
// interpreter lock while it waits.
constexpr auto vcgencmd_deadline = std::chrono::seconds(2);
constexpr std::size_t vcgencmd_output_limit_bytes = std::size_t{1} << 20;
constexpr const char* vcgencmd_name = "vcgencmd";

// Standard output of `vcgencmd WORDS...` decoded as UTF-8, or nothing when
// the tool is not found, fails, or exceeds its time or output limit.
std::optional<std::string> run_vcgencmd(std::initializer_list<const char*> arguments) {
    const auto deadline = std::chrono::steady_clock::now() + vcgencmd_deadline;
    const std::optional<std::string> program = find_on_search_path(vcgencmd_name);
    if (!program) return std::nullopt;
    const std::optional<std::string> output =
        run_to_completion(*program, arguments, deadline, vcgencmd_output_limit_bytes);
    if (!output) return std::nullopt;
    return decode_utf8_lossy(*output);
}

}  // namespace

std::uint32_t parse_throttle_status(std::string_view output) {
    const std::size_t at = output.find("0x");
    if (at == std::string_view::npos) return 0;
    return parse_unsigned<std::uint32_t>(trim_text(output.substr(at + 2)), 16).value_or(0);
}

std::uint64_t parse_arm_clock(std::string_view output) {
    const std::size_t at = output.find('=');
    if (at == std::string_view::npos) return 0;
    return parse_unsigned<std::uint64_t>(trim_text(output.substr(at + 1)), 10).value_or(0);
}

std::uint32_t read_throttle_status() {
    const std::optional<std::string> output = run_vcgencmd({vcgencmd_name, "get_throttled"});
    return output ? parse_throttle_status(*output) : 0;
}

std::uint64_t read_arm_clock() {
    const std::optional<std::string> output = run_vcgencmd({vcgencmd_name, "measure_clock", "arm"});
    return output ? parse_arm_clock(*output) : 0;
}

}  // namespace hostprobe
