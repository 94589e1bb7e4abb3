// Reading and splitting of kernel texts, and the number grammar they use.
// Every split yields views into the text it was given; nothing is copied.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace hostprobe {

// The whole file, or nothing when it cannot be opened or read or is not
// valid UTF-8.
std::optional<std::string> read_text_file(const char* path);

// What `parse` makes of a file's text; a file that cannot be read gives the
// same as an empty one.
template <class Parse, class... References>
auto parse_file(const char* path, Parse parse, References... references) {
    return parse(read_text_file(path).value_or(std::string()), references...);
}

// Byte length of the Unicode White_Space character that starts at `pos`,
// or 0 when none does. The text is assumed to be valid UTF-8.
std::size_t whitespace_length_at(std::string_view text, std::size_t pos);

std::string_view trim_text(std::string_view text);

// Digits of `radix` (10 or 16, either case) after an optional '+'; nothing
// when the token is empty, holds another character, or exceeds `Unsigned`.
template <class Unsigned>
std::optional<Unsigned> parse_unsigned(std::string_view token, unsigned radix);
extern template std::optional<std::uint32_t> parse_unsigned(std::string_view, unsigned);
extern template std::optional<std::uint64_t> parse_unsigned(std::string_view, unsigned);

std::optional<float> parse_f32(std::string_view token);
std::optional<double> parse_f64(std::string_view token);

// The last line of `text` that starts with `prefix`, without its LF; nothing
// when no line does. Found without splitting the text into lines.
std::optional<std::string_view> last_line_starting_with(std::string_view text, std::string_view prefix);

// The second token of a labelled line as a number; nothing when it is
// missing or does not parse.
std::optional<std::uint64_t> keyed_line_number(std::string_view line);
// The same, 0 for nothing.
inline std::uint64_t keyed_line_value(std::string_view line) { return keyed_line_number(line).value_or(0); }

// A forward range over the pieces of a text; a copy of `cut` finds each
// next piece.
template <class Cut>
class Pieces {
public:
    class iterator {
    public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;

        iterator() = default;
        iterator(std::string_view rest, Cut cut) : rest_(rest), cut_(cut), done_(false) { advance(); }
        std::string_view operator*() const { return piece_; }
        iterator& operator++() {
            advance();
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            advance();
            return old;
        }
        // Every piece starts at its own place in the text.
        bool operator==(const iterator& other) const {
            return done_ == other.done_ && (done_ || piece_.data() == other.piece_.data());
        }

    private:
        void advance() {
            if (!cut_.next(rest_, piece_)) done_ = true;
        }
        std::string_view rest_;
        std::string_view piece_;
        Cut cut_{};
        bool done_ = true;
    };

    Pieces(std::string_view text, Cut cut) : text_(text), cut_(cut) {}
    iterator begin() const { return iterator(text_, cut_); }
    iterator end() const { return iterator(); }

private:
    std::string_view text_;
    Cut cut_;
};

// Each `next` takes the next piece off the front of `rest` into `piece` and
// returns false when there was none left.
struct LineCut {
    static bool next(std::string_view& rest, std::string_view& piece);
};
struct TokenCut {
    static bool next(std::string_view& rest, std::string_view& piece);
};

namespace text_detail {

// Every ASCII byte but the white space stands for itself; a byte above 7F
// belongs to a longer character, which needs the full test.
enum class ByteClass : unsigned char { token, ascii_white_space, longer_character };

inline constexpr auto token_byte_classes = [] {
    std::array<ByteClass, 256> classes{};
    for (unsigned byte = 0x09; byte <= 0x0D; ++byte) classes[byte] = ByteClass::ascii_white_space;
    classes[' '] = ByteClass::ascii_white_space;
    for (unsigned byte = 0x80; byte <= 0xFF; ++byte) classes[byte] = ByteClass::longer_character;
    return classes;
}();

// Kernel texts pad with runs of spaces and print numbers as runs of digits:
// eight bytes at a time, the length of such a run at `at`, up to 8. On a
// little-endian machine the lowest flagged byte of a word is its first in
// memory; the tests can flag a later byte wrongly, never an earlier one.
inline constexpr std::uint64_t every_byte = 0x0101010101010101u;
inline constexpr std::uint64_t top_bits = 0x8080808080808080u;

inline std::uint64_t load_word(const unsigned char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

inline std::size_t first_flagged_byte(std::uint64_t flags) {
    if constexpr (std::endian::native == std::endian::little) {
        return flags == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(flags)) / 8;
    } else {
        return flags == 0 ? 8 : 0;  // the byte-wise test decides
    }
}

inline std::size_t leading_spaces(const unsigned char* at) {
    return first_flagged_byte(load_word(at) ^ (every_byte * ' '));
}

// Printable ASCII: 21 to 7E.
inline std::size_t leading_printable(const unsigned char* at) {
    const std::uint64_t word = load_word(at);
    const std::uint64_t below = (word - every_byte * 0x21) & ~word & top_bits;
    const std::uint64_t above = ((word + every_byte) | word) & top_bits;
    return first_flagged_byte(below | above);
}

}  // namespace text_detail

[[gnu::always_inline]] inline bool TokenCut::next(std::string_view& rest, std::string_view& piece) {
    const auto* const begin = reinterpret_cast<const unsigned char*>(rest.data());
    const auto* const end = begin + rest.size();
    const auto white_space_length = [&](const unsigned char* at) -> std::size_t {
        switch (text_detail::token_byte_classes[*at]) {
            case text_detail::ByteClass::token:
                return 0;
            case text_detail::ByteClass::ascii_white_space:
                return 1;
            default:
                return whitespace_length_at(rest, static_cast<std::size_t>(at - begin));
        }
    };
    const auto* first = begin;
    while (first != end) {
        if (end - first >= 8) {
            const std::size_t spaces = text_detail::leading_spaces(first);
            first += spaces;
            if (spaces == 8) continue;
        }
        const std::size_t length = white_space_length(first);
        if (length == 0) break;
        first += length;
    }
    if (first == end) {
        rest.remove_prefix(rest.size());
        return false;
    }
    const auto* last = first + 1;
    while (last != end) {
        if (end - last >= 8) {
            const std::size_t printable = text_detail::leading_printable(last);
            last += printable;
            if (printable == 8) continue;
        }
        if (white_space_length(last) != 0) break;
        ++last;
    }
    piece = std::string_view(reinterpret_cast<const char*>(first), static_cast<std::size_t>(last - first));
    rest.remove_prefix(static_cast<std::size_t>(last - begin));
    return true;
}

// An empty text is one empty piece; a separator at the end leaves a final
// empty piece.
struct CharCut {
    char separator = '\0';
    bool finished = false;

    bool next(std::string_view& rest, std::string_view& piece) {
        if (finished) return false;
        const std::size_t at = rest.find(separator);
        if (at == std::string_view::npos) {
            piece = rest;
            rest.remove_prefix(rest.size());
            finished = true;
        } else {
            piece = rest.substr(0, at);
            rest.remove_prefix(at + 1);
        }
        return true;
    }
};

// Lines end at LF; one CR before the LF is dropped; no empty line follows a
// final LF.
inline Pieces<LineCut> split_lines(std::string_view text) { return {text, LineCut{}}; }
// The ranges hold views: a temporary string would be gone before a loop
// over its pieces begins.
template <class Text>
concept TemporaryString = std::is_same_v<Text, std::string>;
template <TemporaryString Text>
void split_lines(Text&&) = delete;

// Maximal runs of non-white-space characters.
inline Pieces<TokenCut> split_tokens(std::string_view text) { return {text, TokenCut{}}; }
template <TemporaryString Text>
void split_tokens(Text&&) = delete;

// The first `N` tokens of a text and how many tokens it holds, counted no
// further than `count_limit` (at least `N`).
template <std::size_t N>
struct LeadingTokens {
    std::string_view token[N];
    std::size_t count = 0;
};

template <std::size_t N>
LeadingTokens<N> leading_tokens(std::string_view text, std::size_t count_limit) {
    LeadingTokens<N> result;
    for (std::string_view token : split_tokens(text)) {
        if (result.count < N) result.token[result.count] = token;
        if (++result.count == count_limit) break;
    }
    return result;
}

// The pieces between occurrences of `separator`, empty pieces included.
inline Pieces<CharCut> split_on_char(std::string_view text, char separator) { return {text, CharCut{separator}}; }
template <TemporaryString Text>
void split_on_char(Text&&, char) = delete;

}  // namespace hostprobe
