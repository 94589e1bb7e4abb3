// parse_arm_clock: the trimmed rest after the first "=" as an unsigned
// 64-bit decimal, or 0.
#include "fuzz_support.hpp"
#include "sys_reader/firmware.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::valid_text(data, size);
    const std::size_t marker = text.find('=');
    const std::uint64_t expected =
        marker == std::string::npos ? 0 : fuzz::u64_or_zero(fuzz::reference_trim(std::string_view(text).substr(marker + 1)));
    fuzz::check(hostprobe::parse_arm_clock(text) == expected, "arm clock");
    return 0;
}
