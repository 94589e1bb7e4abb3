// Reading and splitting of kernel texts, and the number grammar they use.
// Every split yields views into the text it was given; nothing is copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace hostprobe {

// The whole file, or nothing when it cannot be opened or read or is not
// valid UTF-8.
std::optional<std::string> read_text_file(const char* path);

// Byte length of the Unicode White_Space character that starts at `pos`,
// or 0 when none does. The text is assumed to be valid UTF-8.
std::size_t whitespace_length_at(std::string_view text, std::size_t pos);

std::string_view trim_text(std::string_view text);

std::optional<std::uint64_t> parse_u64(std::string_view token);
std::optional<float> parse_f32(std::string_view token);
std::optional<double> parse_f64(std::string_view token);

// The second token of a labelled line as a number; 0 when it is missing or
// does not parse.
std::uint64_t keyed_line_value(std::string_view line);

// A forward range over the pieces of a text; `Cut` finds the next piece.
template <class Cut>
class Pieces {
public:
    class iterator {
    public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;

        iterator() = default;
        explicit iterator(std::string_view rest) : rest_(rest), done_(false) { advance(); }
        std::string_view operator*() const { return piece_; }
        iterator& operator++() { advance(); return *this; }
        iterator operator++(int) { iterator old = *this; advance(); return old; }
        bool operator==(const iterator& other) const {
            return done_ == other.done_ && (done_ || rest_.data() == other.rest_.data());
        }

    private:
        void advance() {
            if (!Cut::next(rest_, piece_)) done_ = true;
        }
        std::string_view rest_;
        std::string_view piece_;
        bool done_ = true;
    };

    explicit Pieces(std::string_view text) : text_(text) {}
    iterator begin() const { return iterator(text_); }
    iterator end() const { return iterator(); }

private:
    std::string_view text_;
};

// Each `next` takes the next piece off the front of `rest` into `piece` and
// returns false when there was none left.
struct LineCut { static bool next(std::string_view& rest, std::string_view& piece); };
struct TokenCut { static bool next(std::string_view& rest, std::string_view& piece); };

// Lines end at LF; one CR before the LF is dropped; no empty line follows a
// final LF.
inline Pieces<LineCut> split_lines(std::string_view text) { return Pieces<LineCut>(text); }
// The ranges hold views: a temporary string would be gone before a loop
// over its pieces begins.
template <class Text>
concept TemporaryString = std::is_same_v<Text, std::string>;
template <TemporaryString Text>
void split_lines(Text&&) = delete;

// Maximal runs of non-white-space characters.
inline Pieces<TokenCut> split_tokens(std::string_view text) { return Pieces<TokenCut>(text); }
template <TemporaryString Text>
void split_tokens(Text&&) = delete;

// The first `N` tokens of a text and how many tokens it holds in all.
template <std::size_t N>
struct LeadingTokens {
    std::string_view token[N];
    std::size_t count = 0;
};

template <std::size_t N>
LeadingTokens<N> leading_tokens(std::string_view text) {
    LeadingTokens<N> result;
    for (std::string_view token : split_tokens(text)) {
        if (result.count < N) result.token[result.count] = token;
        ++result.count;
    }
    return result;
}

// The pieces between occurrences of `separator`, empty pieces included.
class CharPieces {
public:
    class iterator {
    public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;

        iterator() = default;
        iterator(std::string_view rest, char separator)
            : rest_(rest), separator_(separator), done_(false) { advance(); }
        std::string_view operator*() const { return piece_; }
        iterator& operator++() { advance(); return *this; }
        iterator operator++(int) { iterator old = *this; advance(); return old; }
        bool operator==(const iterator& other) const {
            return done_ == other.done_ &&
                   (done_ || (rest_.data() == other.rest_.data() && last_ == other.last_));
        }

    private:
        void advance() {
            if (last_) { done_ = true; return; }
            std::size_t at = rest_.find(separator_);
            if (at == std::string_view::npos) {
                piece_ = rest_;
                rest_ = rest_.substr(rest_.size());
                last_ = true;
            } else {
                piece_ = rest_.substr(0, at);
                rest_ = rest_.substr(at + 1);
            }
        }
        std::string_view rest_;
        std::string_view piece_;
        char separator_ = '\0';
        bool done_ = true;
        bool last_ = false;
    };

    CharPieces(std::string_view text, char separator) : text_(text), separator_(separator) {}
    iterator begin() const { return iterator(text_, separator_); }
    iterator end() const { return iterator(); }

private:
    std::string_view text_;
    char separator_;
};

// An empty text is one empty piece; a separator at the end leaves a final
// empty piece.
inline CharPieces split_on_char(std::string_view text, char separator) {
    return CharPieces(text, separator);
}
template <TemporaryString Text>
void split_on_char(Text&&, char) = delete;

}  // namespace hostprobe
