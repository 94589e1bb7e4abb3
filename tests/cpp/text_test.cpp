#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "sys_reader/text.hpp"
#include "sys_reader/utf8.hpp"

namespace hostprobe {
namespace {

using Strings = std::vector<std::string>;

template <class Range>
Strings collect(const Range& range) {
    Strings pieces;
    for (std::string_view piece : range) pieces.emplace_back(piece);
    return pieces;
}

TEST(Text, SplitsLinesTokensAndPieces) {
    EXPECT_EQ(collect(split_lines("a\r\nb\r\r\n\nc")), (Strings{"a", "b\r", "", "c"}));
    EXPECT_EQ(collect(split_lines("a\n")), (Strings{"a"}));
    EXPECT_EQ(collect(split_lines("")), Strings{});
    // Every Unicode White_Space character separates tokens; U+200B and
    // U+FEFF are no white space.
    EXPECT_EQ(collect(split_tokens(" a\tb\u00a0c\u0085d\u1680e\u2000f\u200ag\u2028h\u202fi\u205fj\u3000k\v\f")),
              (Strings{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"}));
    EXPECT_EQ(collect(split_tokens("x\u200by\ufeffz\u00a1")), (Strings{"x\u200by\ufeffz\u00a1"}));
    EXPECT_EQ(collect(split_on_char("2/1203/", '/')), (Strings{"2", "1203", ""}));
    EXPECT_EQ(collect(split_on_char("", '/')), (Strings{""}));
    EXPECT_EQ(trim_text("\u3000 12 3\u00a0\n"), "12 3");
    EXPECT_EQ(keyed_line_value("ctxt\t115315 9"), 115315u);
    EXPECT_EQ(keyed_line_value("ctxt"), 0u);
    EXPECT_EQ(keyed_line_value("ctxt -1"), 0u);
}

TEST(Text, ParsesUnsignedNumbersInEitherRadix) {
    constexpr auto u64_max = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(parse_unsigned<std::uint64_t>("18446744073709551615", 10), u64_max);
    EXPECT_EQ(parse_unsigned<std::uint64_t>("+007", 10), 7u);
    for (const char* bad : {"18446744073709551616", "99999999999999999999", "", "+", "-1", "1 ", "0x1", "1e3", "a"}) {
        EXPECT_EQ(parse_unsigned<std::uint64_t>(bad, 10), std::nullopt) << bad;
    }
    EXPECT_EQ(parse_unsigned<std::uint32_t>("ffffFFFF", 16), 0xFFFFFFFFu);
    EXPECT_EQ(parse_unsigned<std::uint32_t>("000000050005", 16), 0x50005u);
    for (const char* bad : {"100000000", "fg", "", "-5", "0x5"}) {
        EXPECT_EQ(parse_unsigned<std::uint32_t>(bad, 16), std::nullopt) << bad;
    }
}

TEST(Text, ParsesDecimalFloatsOfTheKernelGrammar) {
    EXPECT_EQ(parse_f32("0.52"), 0.52f);
    EXPECT_EQ(parse_f32("+1e3"), 1000.0f);
    EXPECT_EQ(parse_f32("-.5"), -0.5f);
    EXPECT_EQ(parse_f32("1e-50"), 0.0f);
    EXPECT_EQ(parse_f32("1e39"), std::numeric_limits<float>::infinity());
    EXPECT_EQ(parse_f32("-INFINITY"), -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(*parse_f32("NaN")));
    EXPECT_EQ(parse_f64("12345.67"), 12345.67);
    EXPECT_EQ(parse_f64("4.9e-324"), 4.9e-324);
    for (const char* bad : {"", ".", "1e", "0x1p3", "1,5", "1.2.3", "in", "nan(1)", " 1", "1f"}) {
        EXPECT_EQ(parse_f64(bad), std::nullopt) << bad;
    }
}

TEST(Utf8, ValidatesAndReplacesMaximalIllFormedParts) {
    EXPECT_TRUE(is_valid_utf8("\x7F \xC2\x80 \xDF\xBF \xE0\xA0\x80 \xED\x9F\xBF \xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"));
    EXPECT_TRUE(is_valid_utf8(std::string("eight by\0tes", 12)));
    for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                            "\xF5", "ascii ascii \x80", "\xE2\x82", "\xE2\x82 x"}) {
        EXPECT_FALSE(is_valid_utf8(bad)) << bad;
    }
    // What Python's bytes.decode("utf-8", "replace") gives.
    EXPECT_EQ(decode_utf8_lossy("a\xF0\x9F\x98\x80" "b"), "a\xF0\x9F\x98\x80" "b");
    EXPECT_EQ(decode_utf8_lossy("\xE2\x82x\xF0\x9F\x98"), "\uFFFDx\uFFFD");
    EXPECT_EQ(decode_utf8_lossy("\xC0\xAF\xED\xA0\x80\xF4\x90"), "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
}

}  // namespace
}  // namespace hostprobe
