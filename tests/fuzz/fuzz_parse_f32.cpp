// parse_f32 against strtof in the C locale, bit for bit, on the tokens of
// the decimal grammar; the words inf, infinity and nan; nothing otherwise.
#include "fuzz_support.hpp"
#include "sys_reader/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view token = fuzz::bytes(data, size);
    fuzz::check(fuzz::same_number(hostprobe::parse_f32(token), fuzz::reference_float<float>(token)),
                "parse_f32 disagrees with strtof");
    return 0;
}
