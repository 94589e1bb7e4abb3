#include "text.hpp"

#include <fcntl.h>
#include <locale.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <type_traits>

#include "file_descriptor.hpp"
#include "utf8.hpp"

namespace hostprobe {

namespace {

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower_word[i]) return false;
    }
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::optional<unsigned> digit_value(char c, unsigned radix) {
    unsigned value;
    if (is_digit(c)) {
        value = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
        value = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
        value = static_cast<unsigned>(c - 'A' + 10);
    } else {
        return std::nullopt;
    }
    if (value >= radix) return std::nullopt;
    return value;
}

// Digits with an optional point (one digit at least), then an optional
// exponent with at least one digit. No sign, no hexadecimal, no words.
bool is_unsigned_decimal(std::string_view text) {
    std::size_t i = 0;
    std::size_t digits = 0;
    while (i < text.size() && is_digit(text[i])) ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && is_digit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        const std::size_t exponent_start = i;
        while (i < text.size() && is_digit(text[i])) ++i;
        if (i == exponent_start) return false;
    }
    return i == text.size();
}

locale_t c_locale() {
    static const locale_t locale = [] {
        const locale_t made = newlocale(LC_ALL_MASK, "C", locale_t{});
        if (made == locale_t{}) throw std::bad_alloc();
        return made;
    }();
    return locale;
}

// The C library's conversion rounds correctly also where the result is an
// infinity, a subnormal or zero; the "C" locale keeps '.' the decimal point
// whatever locale the process has chosen.
template <class Float>
Float convert_in_c_locale(std::string_view decimal) {
    const std::string terminated(decimal);
    if constexpr (std::is_same_v<Float, float>) {
        return strtof_l(terminated.c_str(), nullptr, c_locale());
    } else {
        return strtod_l(terminated.c_str(), nullptr, c_locale());
    }
}

template <class Float>
std::optional<Float> parse_float(std::string_view token) {
    bool negative = false;
    if (!token.empty() && (token.front() == '+' || token.front() == '-')) {
        negative = token.front() == '-';
        token.remove_prefix(1);
    }
    Float magnitude = 0;
    if (equals_ignoring_ascii_case(token, "inf") || equals_ignoring_ascii_case(token, "infinity")) {
        magnitude = std::numeric_limits<Float>::infinity();
    } else if (equals_ignoring_ascii_case(token, "nan")) {
        magnitude = std::numeric_limits<Float>::quiet_NaN();
    } else if (is_unsigned_decimal(token)) {
        const char* end = token.data() + token.size();
        const auto [stop, error] = std::from_chars(token.data(), end, magnitude);
        if (error == std::errc::result_out_of_range) {
            // from_chars leaves the value alone when it would round to zero
            // or to infinity.
            magnitude = convert_in_c_locale<Float>(token);
        } else if (error != std::errc{} || stop != end) {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    return negative ? -magnitude : magnitude;
}

}  // namespace

std::optional<std::string> read_text_file(const char* path) {
    const FileDescriptor file(open(path, O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return std::nullopt;
    // The size a file reports is no guide: procfs and sysfs report 0. Read
    // until read() says the end has come.
    char chunk[16384];
    std::string content;
    for (;;) {
        const ssize_t got = read(file.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) break;
        content.append(chunk, static_cast<std::size_t>(got));
    }
    if (!is_valid_utf8(content)) return std::nullopt;
    return content;
}

std::size_t whitespace_length_at(std::string_view text, std::size_t pos) {
    const std::string_view rest = text.substr(pos);
    if (rest.empty()) return 0;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(rest[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return text_detail::token_byte_classes[lead] == text_detail::ByteClass::ascii_white_space ? 1 : 0;
    if (lead == 0xC2 && rest.size() >= 2) {
        return byte(1) == 0x85 || byte(1) == 0xA0 ? 2 : 0;  // U+0085, U+00A0
    }
    if (rest.size() < 3) return 0;
    const unsigned char second = byte(1);
    const unsigned char third = byte(2);
    switch (lead) {
        case 0xE1:  // U+1680
            return second == 0x9A && third == 0x80 ? 3 : 0;
        case 0xE2:
            if (second == 0x80) {
                // U+2000..U+200A, U+2028, U+2029, U+202F
                const bool space = (third >= 0x80 && third <= 0x8A) || third == 0xA8 || third == 0xA9 || third == 0xAF;
                return space ? 3 : 0;
            }
            return second == 0x81 && third == 0x9F ? 3 : 0;  // U+205F
        case 0xE3:                                           // U+3000
            return second == 0x80 && third == 0x80 ? 3 : 0;
        default:
            return 0;
    }
}

std::string_view trim_text(std::string_view text) {
    std::size_t start = 0;
    while (std::size_t length = whitespace_length_at(text, start)) start += length;
    std::size_t end = start;
    for (std::size_t pos = start; pos < text.size();) {
        if (std::size_t length = whitespace_length_at(text, pos)) {
            pos += length;
        } else {
            end = ++pos;
        }
    }
    return text.substr(start, end - start);
}

bool LineCut::next(std::string_view& rest, std::string_view& piece) {
    if (rest.empty()) return false;
    const std::size_t feed = rest.find('\n');
    if (feed == std::string_view::npos) {
        piece = rest;
        rest.remove_prefix(rest.size());
        return true;
    }
    piece = rest.substr(0, feed);
    if (piece.ends_with('\r')) piece.remove_suffix(1);
    rest.remove_prefix(feed + 1);
    return true;
}

std::optional<std::string_view> last_line_starting_with(std::string_view text, std::string_view prefix) {
    std::optional<std::string_view> found;
    for (std::size_t from = 0; from < text.size();) {
        const void* match = memmem(text.data() + from, text.size() - from, prefix.data(), prefix.size());
        if (match == nullptr) break;
        const auto at = static_cast<std::size_t>(static_cast<const char*>(match) - text.data());
        if (at == 0 || text[at - 1] == '\n') found = text.substr(at, text.find('\n', at) - at);
        from = at + 1;
    }
    return found;
}

std::optional<std::uint64_t> keyed_line_number(std::string_view line) {
    std::string_view token;
    if (!TokenCut::next(line, token) || !TokenCut::next(line, token)) return std::nullopt;
    return parse_unsigned<std::uint64_t>(token, 10);
}

template <class Unsigned>
std::optional<Unsigned> parse_unsigned(std::string_view token, unsigned radix) {
    if (token.starts_with('+')) token.remove_prefix(1);
    if (token.empty()) return std::nullopt;
    constexpr Unsigned max = std::numeric_limits<Unsigned>::max();
    Unsigned value = 0;
    for (char c : token) {
        const std::optional<unsigned> digit = digit_value(c, radix);
        if (!digit) return std::nullopt;
        if (value > (max - *digit) / radix) return std::nullopt;
        value = static_cast<Unsigned>(value * radix + *digit);
    }
    return value;
}

template std::optional<std::uint32_t> parse_unsigned(std::string_view, unsigned);
template std::optional<std::uint64_t> parse_unsigned(std::string_view, unsigned);

std::optional<float> parse_f32(std::string_view token) { return parse_float<float>(token); }

std::optional<double> parse_f64(std::string_view token) { return parse_float<double>(token); }

}  // namespace hostprobe
