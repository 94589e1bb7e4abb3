// parse_hex_u32 against strtoull in base 16 on the tokens of its grammar
// (optional plus sign, hexadecimal digits, at most 0xFFFFFFFF); every other
// token is absent.
#include "fuzz_support.hpp"
#include "sys_reader/firmware.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view token = fuzz::bytes(data, size);
    std::optional<std::uint32_t> expected;
    if (fuzz::in_unsigned_grammar(token, fuzz::is_hex_digit)) {
        const std::optional<std::uint64_t> wide = fuzz::reference_unsigned(token, 16);
        if (wide && *wide <= 0xFFFFFFFFu) expected = static_cast<std::uint32_t>(*wide);
    }
    fuzz::check(hostprobe::parse_hex_u32(token) == expected, "parse_hex_u32 disagrees with strtoull");
    return 0;
}
