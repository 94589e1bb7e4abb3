// parse_load_average against a model of /proc/loadavg's rules: five tokens
// at least, three loads, the runnable count before the slash.
#include "fuzz_support.hpp"
#include "sys_reader/load_average.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::valid_text(data, size);
    const hostprobe::LoadAverage load = hostprobe::parse_load_average(text);
    const std::vector<std::string_view> tokens = fuzz::reference_tokens(text);
    float expected[4] = {};  // running, 1, 5, 15 minutes
    if (tokens.size() > 4) {
        const auto value = [](std::string_view token) { return fuzz::reference_float<float>(token).value_or(0.0f); };
        expected[0] = value(tokens[3].substr(0, tokens[3].find('/')));
        expected[1] = value(tokens[0]);
        expected[2] = value(tokens[1]);
        expected[3] = value(tokens[2]);
    }
    fuzz::check(fuzz::same_number(load.running, expected[0]), "running");
    fuzz::check(fuzz::same_number(load.load_1, expected[1]), "load_1");
    fuzz::check(fuzz::same_number(load.load_5, expected[2]), "load_5");
    fuzz::check(fuzz::same_number(load.load_15, expected[3]), "load_15");
    return 0;
}
