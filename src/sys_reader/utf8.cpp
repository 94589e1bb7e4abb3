#include "utf8.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

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
    if (lead < 0x80) return {1, continuation};
    if (lead >= 0xC2 && lead <= 0xDF) return {2, continuation};
    if (lead == 0xE0) return {3, {0xA0, 0xBF}};
    if (lead == 0xED) return {3, {0x80, 0x9F}};
    if (lead >= 0xE1 && lead <= 0xEF) return {3, continuation};
    if (lead == 0xF0) return {4, {0x90, 0xBF}};
    if (lead == 0xF4) return {4, {0x80, 0x8F}};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, continuation};
    return {0, continuation};
}

// The sequence that starts at `pos`: its length when it is well formed, or
// else the length of its maximal ill-formed subsequence (at least 1).
struct Sequence {
    std::size_t length;
    bool well_formed;
};

Sequence sequence_at(std::string_view bytes, std::size_t pos) {
    const LeadByte kind = classify_lead(static_cast<unsigned char>(bytes[pos]));
    std::size_t taken = 1;
    while (taken < kind.length && pos + taken < bytes.size()) {
        const ByteRange allowed = taken == 1 ? kind.second : continuation;
        if (!allowed.holds(static_cast<unsigned char>(bytes[pos + taken]))) break;
        ++taken;
    }
    return {taken, taken == kind.length};
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        // Kernel texts are ASCII: eight bytes at a time while no byte has its
        // top bit set.
        std::uint64_t eight;
        if (bytes.size() - pos >= sizeof eight) {
            std::memcpy(&eight, bytes.data() + pos, sizeof eight);
            if ((eight & 0x8080808080808080u) == 0) {
                pos += sizeof eight;
                continue;
            }
        }
        const Sequence sequence = sequence_at(bytes, pos);
        if (!sequence.well_formed) return false;
        pos += sequence.length;
    }
    return true;
}

std::string decode_utf8_lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const Sequence sequence = sequence_at(bytes, pos);
        if (sequence.well_formed) {
            text.append(bytes.substr(pos, sequence.length));
        } else {
            text.append(replacement_character);
        }
        pos += sequence.length;
    }
    return text;
}

}  // namespace hostprobe
