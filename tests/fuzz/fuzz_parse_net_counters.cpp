// parse_net_counters against a model of /proc/net/dev's rules: the first
// two lines dropped, every later line of 17 tokens or more, the name without
// its trailing colons, the 2nd and 10th tokens received and transmitted
// bytes, a later line replacing an earlier one.
#include "fuzz_support.hpp"
#include "sys_reader/byte_counters.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::valid_text(data, size);
    hostprobe::ByteCounterMap expected;
    const std::vector<std::string_view> lines = fuzz::reference_lines(text);
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const std::vector<std::string_view> tokens = fuzz::reference_tokens(lines[i]);
        if (tokens.size() < 17) continue;
        std::string_view name = tokens[0];
        while (!name.empty() && name.back() == ':') name.remove_suffix(1);
        expected[std::string(name)] = {fuzz::u64_or_zero(tokens[1]), fuzz::u64_or_zero(tokens[9])};
    }
    fuzz::check(hostprobe::parse_net_counters(text) == expected, "net counters");
    return 0;
}
