// Reference models shared by the fuzz targets. They are written from the
// definitions (Unicode White_Space, the number grammar, the C library's
// conversions), not from the readers' code, so that a disagreement points
// at one of the two.
#pragma once

#include <locale.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sys_reader/utf8_lossy.hpp"

namespace fuzz {

// Ends the run with a message; libFuzzer then keeps the input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

inline std::string_view bytes(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The readers only ever see valid UTF-8: files are rejected otherwise, and
// the firmware tool's output is decoded with replacement.
inline std::string valid_text(const std::uint8_t* data, std::size_t size) {
    return hostprobe::decode_utf8_lossy(bytes(data, size));
}

// ---- code points ----

struct CodePoint {
    char32_t value;
    std::size_t length;
};

// Decodes the code point at `at` of valid UTF-8 text.
inline CodePoint decode_at(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1};
    if (lead < 0xE0) return {static_cast<char32_t>((lead & 0x1F) << 6 | (byte(1) & 0x3F)), 2};
    if (lead < 0xF0) {
        return {static_cast<char32_t>((lead & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F)), 3};
    }
    return {static_cast<char32_t>((lead & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 |
                                  (byte(3) & 0x3F)),
            4};
}

inline bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Maximal runs of code points that are not white space.
inline std::vector<std::string_view> reference_tokens(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t start = std::string_view::npos;
    for (std::size_t at = 0; at < text.size();) {
        const CodePoint point = decode_at(text, at);
        if (is_white_space(point.value)) {
            if (start != std::string_view::npos) tokens.push_back(text.substr(start, at - start));
            start = std::string_view::npos;
        } else if (start == std::string_view::npos) {
            start = at;
        }
        at += point.length;
    }
    if (start != std::string_view::npos) tokens.push_back(text.substr(start));
    return tokens;
}

// ---- numbers ----

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline bool is_hex_digit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Optional sign, digits with an optional point (one digit at least), then
// an optional exponent: e or E, optional sign, one digit at least.
inline bool in_decimal_grammar(std::string_view token) {
    std::size_t i = 0;
    const auto at = [&](std::size_t k) { return k < token.size() ? token[k] : '\0'; };
    if (at(i) == '+' || at(i) == '-') ++i;
    std::size_t digits = 0;
    for (; is_digit(at(i)); ++i) ++digits;
    if (at(i) == '.') {
        for (++i; is_digit(at(i)); ++i) ++digits;
    }
    if (digits == 0) return false;
    if (at(i) == 'e' || at(i) == 'E') {
        ++i;
        if (at(i) == '+' || at(i) == '-') ++i;
        if (!is_digit(at(i))) return false;
        while (is_digit(at(i))) ++i;
    }
    return i == token.size();
}

// Optional plus sign, then one digit at least and nothing else.
inline bool in_unsigned_grammar(std::string_view token, bool (*digit)(char)) {
    if (!token.empty() && token.front() == '+') token.remove_prefix(1);
    if (token.empty()) return false;
    for (char c : token) {
        if (!digit(c)) return false;
    }
    return true;
}

inline locale_t c_locale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return locale;
}

// strtoull of a token of the unsigned grammar; nothing when it is out of
// range.
inline std::optional<std::uint64_t> reference_unsigned(std::string_view token, int base) {
    const std::string terminated(token);
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull_l(terminated.c_str(), &end, base, c_locale());
    check(end == terminated.c_str() + terminated.size(), "strtoull stopped inside a grammar token");
    if (errno == ERANGE) return std::nullopt;
    return value;
}

// parse_u64 as the grammar and strtoull define it.
inline std::optional<std::uint64_t> reference_u64(std::string_view token) {
    if (!in_unsigned_grammar(token, is_digit)) return std::nullopt;
    return reference_unsigned(token, 10);
}


inline bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + ('a' - 'A')) : text[i];
        if (c != lower_word[i]) return false;
    }
    return true;
}

// parse_f32 and parse_f64 as the grammar defines them: a decimal token
// converted by strtof/strtod in the C locale, the words inf, infinity and
// nan in any case after an optional sign, and nothing for anything else.
template <class Float>
std::optional<Float> reference_float(std::string_view token) {
    if (in_decimal_grammar(token)) {
        const std::string terminated(token);
        char* end = nullptr;
        Float value;
        if constexpr (std::is_same_v<Float, float>) {
            value = strtof_l(terminated.c_str(), &end, c_locale());
        } else {
            value = strtod_l(terminated.c_str(), &end, c_locale());
        }
        check(end == terminated.c_str() + terminated.size(), "strtod stopped inside a grammar token");
        return value;
    }
    const bool negative = !token.empty() && token.front() == '-';
    if (!token.empty() && (token.front() == '+' || token.front() == '-')) token.remove_prefix(1);
    Float magnitude;
    if (equals_ignoring_case(token, "inf") || equals_ignoring_case(token, "infinity")) {
        magnitude = std::numeric_limits<Float>::infinity();
    } else if (equals_ignoring_case(token, "nan")) {
        magnitude = std::numeric_limits<Float>::quiet_NaN();
    } else {
        return std::nullopt;
    }
    return negative ? -magnitude : magnitude;
}

// Equal bits, or NaN on both sides (a NaN's sign and payload carry nothing).
template <class Float>
bool same_number(Float a, Float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof(Float)) == 0;
}

template <class Float>
bool same_number(std::optional<Float> a, std::optional<Float> b) {
    if (!a || !b) return !a && !b;
    return same_number(*a, *b);
}

// ---- lines and labelled values ----

// Lines end at LF; one CR directly before it is dropped; what follows the
// last LF is a line when it is not empty.
inline std::vector<std::string_view> reference_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t feed = text.find('\n');
        if (feed == std::string_view::npos) {
            lines.push_back(text);
            break;
        }
        std::string_view line = text.substr(0, feed);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        text.remove_prefix(feed + 1);
    }
    return lines;
}

// From the first to the end of the last non-white-space code point.
inline std::string_view reference_trim(std::string_view text) {
    const std::vector<std::string_view> tokens = reference_tokens(text);
    if (tokens.empty()) return text.substr(text.size());
    const char* first = tokens.front().data();
    const char* last = tokens.back().data() + tokens.back().size();
    return text.substr(static_cast<std::size_t>(first - text.data()), static_cast<std::size_t>(last - first));
}

inline std::uint64_t u64_or_zero(std::string_view token) { return reference_u64(token).value_or(0); }

// The second token as a number; "0" when there is none; 0 when it does not
// parse.
inline std::uint64_t reference_keyed_value(std::string_view line) {
    const std::vector<std::string_view> tokens = reference_tokens(line);
    return u64_or_zero(tokens.size() >= 2 ? tokens[1] : std::string_view("0"));
}

inline std::uint64_t saturating_difference(std::uint64_t count, std::uint64_t reference) {
    return count >= reference ? count - reference : 0;
}

}  // namespace fuzz
