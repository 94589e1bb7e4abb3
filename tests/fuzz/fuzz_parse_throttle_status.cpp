// parse_throttle_status: the trimmed rest after the first "0x" as a
// hexadecimal 32-bit word (optional plus sign, nothing else), or 0.
#include "fuzz_support.hpp"
#include "sys_reader/firmware.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::valid_text(data, size);
    std::uint32_t expected = 0;
    const std::size_t marker = text.find("0x");
    if (marker != std::string::npos) {
        const std::string_view rest = fuzz::reference_trim(std::string_view(text).substr(marker + 2));
        if (fuzz::in_unsigned_grammar(rest, fuzz::is_hex_digit)) {
            const std::optional<std::uint64_t> wide = fuzz::reference_unsigned(rest, 16);
            if (wide && *wide <= 0xFFFFFFFFu) expected = static_cast<std::uint32_t>(*wide);
        }
    }
    fuzz::check(hostprobe::parse_throttle_status(text) == expected, "throttle status");
    return 0;
}
