// parse_zone_temperature: the trimmed text as a float in millidegrees,
// divided by 1000 in single precision; nothing when it does not parse.
#include "fuzz_support.hpp"
#include "sys_reader/cpu_temperature.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::valid_text(data, size);
    std::optional<float> expected = fuzz::reference_float<float>(fuzz::reference_trim(text));
    if (expected) *expected /= 1000.0f;
    fuzz::check(fuzz::same_number(hostprobe::parse_zone_temperature(text), expected), "zone temperature");
    return 0;
}
