// parse_u64 against strtoull on the tokens of its grammar; every other token
// is absent.
#include "fuzz_support.hpp"
#include "sys_reader/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view token = fuzz::bytes(data, size);
    const std::optional<std::uint64_t> parsed = hostprobe::parse_u64(token);
    const std::optional<std::uint64_t> expected = fuzz::reference_u64(token);
    fuzz::check(parsed == expected, "parse_u64 disagrees with strtoull");
    return 0;
}
