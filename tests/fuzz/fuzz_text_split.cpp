// The splitting and trimming routines against plain models of their rules:
// lines end at LF with one CR before it dropped and no empty line after a
// final LF; tokens are maximal runs of non-white-space code points; pieces
// lie between separators, empty ones included. The first input byte picks
// the separator, the rest (made valid UTF-8) is the text.
#include "fuzz_support.hpp"
#include "sys_reader/text.hpp"

namespace {

std::vector<std::string_view> reference_pieces(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == separator) {
            pieces.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

// Same views: the same places in the text, not only equal contents.
template <class Range>
bool same_views(const Range& range, const std::vector<std::string_view>& expected) {
    std::size_t i = 0;
    for (std::string_view piece : range) {
        if (i == expected.size()) return false;
        if (piece.data() != expected[i].data() || piece.size() != expected[i].size()) {
            // An empty view's address carries no meaning.
            if (!(piece.empty() && expected[i].empty())) return false;
        }
        ++i;
    }
    return i == expected.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const char separator = static_cast<char>(data[0]);
    const std::string text = fuzz::valid_text(data + 1, size - 1);

    fuzz::check(same_views(hostprobe::split_lines(text), fuzz::reference_lines(text)), "split_lines");
    const std::vector<std::string_view> tokens = fuzz::reference_tokens(text);
    fuzz::check(same_views(hostprobe::split_tokens(text), tokens), "split_tokens");
    fuzz::check(same_views(hostprobe::split_on_char(text, separator), reference_pieces(text, separator)),
                "split_on_char");

    const std::string_view trimmed = hostprobe::trim_text(text);
    const std::string_view expected_trim = fuzz::reference_trim(text);
    fuzz::check(trimmed == expected_trim && (trimmed.empty() || trimmed.data() == expected_trim.data()),
                "trim_text");

    const auto leading = hostprobe::leading_tokens<3>(text);
    fuzz::check(leading.count == tokens.size(), "leading_tokens count");
    for (std::size_t i = 0; i < 3 && i < tokens.size(); ++i) {
        fuzz::check(leading.token[i].data() == tokens[i].data() && leading.token[i].size() == tokens[i].size(),
                    "leading_tokens token");
    }

    fuzz::check(hostprobe::keyed_line_value(text) == fuzz::reference_keyed_value(text), "keyed_line_value");
    return 0;
}
