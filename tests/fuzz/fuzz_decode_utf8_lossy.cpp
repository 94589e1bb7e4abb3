// decode_utf8_lossy: valid UTF-8 comes back unchanged; anything comes back
// as valid UTF-8; each replacement stands for at least one input byte.
#include "fuzz_support.hpp"

namespace {

// Well-formed UTF-8 decoded the long way: each sequence's code point must
// need exactly as many bytes as it has, and be a scalar value (no
// surrogate, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        std::size_t length;
        char32_t value;
        if (lead < 0x80) {
            length = 1, value = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, value = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, value = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, value = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - at < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[at + k]);
            if ((next & 0xC0) != 0x80) return false;
            value = value << 6 | (next & 0x3F);
        }
        const char32_t shortest_from[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < shortest_from[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        at += length;
    }
    return true;
}

std::size_t count(std::string_view text, std::string_view part) {
    std::size_t found = 0;
    for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + part.size())) {
        ++found;
    }
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = fuzz::bytes(data, size);
    const std::string decoded = hostprobe::decode_utf8_lossy(input);
    fuzz::check(is_valid_utf8(decoded), "the decoded text is not valid UTF-8");
    if (is_valid_utf8(input)) fuzz::check(decoded == input, "valid UTF-8 was changed");
    const std::string_view replacement = "\xEF\xBF\xBD";
    const std::size_t added = count(decoded, replacement) - count(input, replacement);
    fuzz::check(added <= size, "more replacements than input bytes");
    return 0;
}
