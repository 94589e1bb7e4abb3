// parse_disk_counters against a model of /proc/diskstats's rules: every line
// of 14 tokens or more, the 3rd token the name, the 6th and 10th sectors
// read and written (x 512), a later line replacing an earlier one.
#include "fuzz_support.hpp"
#include "sys_reader/byte_counters.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::valid_text(data, size);
    hostprobe::ByteCounterMap expected;
    for (std::string_view line : fuzz::reference_lines(text)) {
        const std::vector<std::string_view> tokens = fuzz::reference_tokens(line);
        if (tokens.size() < 14) continue;
        expected[std::string(tokens[2])] = {fuzz::u64_or_zero(tokens[5]) * 512, fuzz::u64_or_zero(tokens[9]) * 512};
    }
    fuzz::check(hostprobe::parse_disk_counters(text) == expected, "disk counters");
    return 0;
}
