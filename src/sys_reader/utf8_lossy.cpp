#include "utf8_lossy.hpp"

#include <cstddef>

namespace hostprobe {

namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

struct ByteRange {
    unsigned char low;
    unsigned char high;
    bool holds(unsigned char byte) const { return byte >= low && byte <= high; }
};

constexpr ByteRange continuation{0x80, 0xBF};

// The length of the well-formed sequence that `lead` starts and the range
// allowed for its second byte, which excludes overlong forms, surrogates
// and values above U+10FFFF; length 0 for a byte that starts none.
struct LeadByte {
    std::size_t length;
    ByteRange second;
};

LeadByte classify_lead(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return {2, continuation};
    if (lead == 0xE0) return {3, {0xA0, 0xBF}};
    if (lead == 0xED) return {3, {0x80, 0x9F}};
    if (lead >= 0xE1 && lead <= 0xEF) return {3, continuation};
    if (lead == 0xF0) return {4, {0x90, 0xBF}};
    if (lead == 0xF4) return {4, {0x80, 0x8F}};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, continuation};
    return {0, continuation};
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[pos]);
        if (lead < 0x80) {
            text.push_back(bytes[pos]);
            ++pos;
            continue;
        }
        const LeadByte kind = classify_lead(lead);
        // Take as many bytes as still fit a well-formed sequence.
        std::size_t taken = 1;
        while (kind.length != 0 && taken < kind.length && pos + taken < bytes.size()) {
            const ByteRange allowed = taken == 1 ? kind.second : continuation;
            if (!allowed.holds(static_cast<unsigned char>(bytes[pos + taken]))) break;
            ++taken;
        }
        if (taken == kind.length) {
            text.append(bytes.substr(pos, taken));
        } else {
            text.append(replacement_character);
        }
        pos += taken;
    }
    return text;
}

}  // namespace hostprobe
