// parse_uptime: the first token of the text as a double, 0 when it is
// missing or does not parse.
#include "fuzz_support.hpp"
#include "sys_reader/uptime.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::valid_text(data, size);
    const std::vector<std::string_view> tokens = fuzz::reference_tokens(text);
    const double expected = tokens.empty() ? 0.0 : fuzz::reference_float<double>(tokens[0]).value_or(0.0);
    fuzz::check(fuzz::same_number(hostprobe::parse_uptime(text), expected), "uptime");
    return 0;
}
