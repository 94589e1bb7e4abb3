#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "sys_reader/text.hpp"
#include "temporary_directory.hpp"

namespace hostprobe {
namespace {

using Strings = std::vector<std::string>;

template <class Range>
Strings collect(const Range& range) {
    Strings pieces;
    for (std::string_view piece : range) pieces.emplace_back(piece);
    return pieces;
}

class TextFileTest : public ::testing::Test {
protected:
    std::string write(const std::string& name, const std::string& bytes) {
        const std::string path = (directory_.path() / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    TemporaryDirectory directory_;
};

TEST_F(TextFileTest, RejectsWholeFileOnAnyInvalidUtf8) {
    struct Row {
        const char* name;
        std::string bytes;
        bool valid;
    };
    const std::vector<Row> rows = {
        {"empty", "", true},
        {"ascii", "cpu 1 2\n", true},
        {"every_length", "\x7F \xC2\x80 \xDF\xBF \xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80 \xF0\x90\x80\x80 \xF4\x8F\xBF\xBF", true},
        {"nul_byte", std::string("a\0b", 3), true},
        {"byte_ff", "12 \xFF 34", false},
        {"overlong_two_bytes", "\xC0\xAF", false},
        {"overlong_c1", "\xC1\xBF", false},
        {"overlong_three_bytes", "\xE0\x80\xAF", false},
        {"overlong_four_bytes", "\xF0\x8F\xBF\xBF", false},
        {"high_surrogate", "\xED\xA0\x80", false},
        {"low_surrogate", "\xED\xBF\xBF", false},
        {"above_10ffff", "\xF4\x90\x80\x80", false},
        {"lead_f5", "\xF5\x80\x80\x80", false},
        {"lone_continuation", "ok \x80", false},
        {"truncated_at_end", "ok \xE2\x82", false},
        {"continuation_missing", "\xE2\x82 x", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto text = read_text_file(write(row.name, row.bytes).c_str());
        if (row.valid) {
            ASSERT_TRUE(text.has_value());
            EXPECT_EQ(*text, row.bytes);
        } else {
            EXPECT_FALSE(text.has_value());
        }
    }
}

TEST_F(TextFileTest, MissingPathAndDirectoryAreAbsent) {
    EXPECT_FALSE(read_text_file((directory_.path() / "nothing").c_str()).has_value());
    EXPECT_FALSE(read_text_file(directory_.path().c_str()).has_value());
}

TEST_F(TextFileTest, ReadsLargeFileWhole) {
    std::string bytes;
    for (int i = 0; bytes.size() < 200 * 1024; ++i) bytes += "line " + std::to_string(i) + " \xE3\x80\x80 \xC3\xA9\n";
    const auto text = read_text_file(write("large", bytes).c_str());
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, bytes);
}

TEST(TextFileProc, ReadsFileThatReportsSizeZero) {
    const auto text = read_text_file("/proc/self/status");
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(text->starts_with("Name:"));
    EXPECT_TRUE(text->ends_with("\n"));
}

TEST(TextSplitLines, Table) {
    const std::vector<std::pair<std::string, Strings>> rows = {
        {"", {}},
        {"\n", {""}},
        {"a", {"a"}},
        {"a\n", {"a"}},
        {"a\nb", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\n\n\nb\n", {"a", "", "", "b"}},
        {"a\rb\n", {"a\rb"}},
        {"a\r\r\n", {"a\r"}},
        {"a\r", {"a\r"}},
        {"\r\n", {""}},
        {"a\n\r", {"a", "\r"}},
    };
    for (const auto& [text, lines] : rows) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(collect(split_lines(text)), lines);
    }
}

TEST(TextSplitTokens, Table) {
    const std::vector<std::pair<std::string, Strings>> rows = {
        {"", {}},
        {" \t\r\n\v\f ", {}},
        {"a", {"a"}},
        {"  a \t\t b  ", {"a", "b"}},
        {"1\xC2\xA0" "2\xE3\x80\x80" "3\xE2\x80\xA8" "4", {"1", "2", "3", "4"}},
        {"1\xC2\x85" "2\xE1\x9A\x80" "3\xE2\x80\x80" "4\xE2\x80\x8A" "5", {"1", "2", "3", "4", "5"}},
        {"1\xE2\x80\xA9" "2\xE2\x80\xAF" "3\xE2\x81\x9F" "4", {"1", "2", "3", "4"}},
        // Zero-width space and other neighbours of the spaces are no spaces.
        {"1\xE2\x80\x8B" "2 \xC2\xA1 \xE3\x80\x81", {"1\xE2\x80\x8B" "2", "\xC2\xA1", "\xE3\x80\x81"}},
        {"\xE2\x80\x83" "\xC3\xA9t\xC3\xA9\xE2\x80\x83", {"\xC3\xA9t\xC3\xA9"}},
    };
    for (const auto& [text, tokens] : rows) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(collect(split_tokens(text)), tokens);
    }
}

TEST(TextWhitespace, EveryWhiteSpaceCharacterAndNeighbours) {
    std::vector<std::string> spaces = {"\t", "\n", "\v", "\f", "\r", " ", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
                                       "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
    for (char last = '\x80'; last <= '\x8A'; ++last) spaces.push_back(std::string("\xE2\x80") + last);
    for (const std::string& space : spaces) {
        SCOPED_TRACE(testing::PrintToString(space));
        EXPECT_EQ(whitespace_length_at("x" + space + "y", 1), space.size());
    }
    const Strings others = {"x",        "\x08",         "\x0E",         "\x1F",         "\xC2\x84",
                            "\xC2\xA1", "\xE1\x9A\x81", "\xE2\x80\x8B", "\xE2\x80\xAA", "\xE2\x80\xB0",
                            "\xE2\x81\x9E", "\xE3\x80\x81", "\xE2\x80",   "\xC2"};
    for (const std::string& other : others) {
        SCOPED_TRACE(testing::PrintToString(other));
        EXPECT_EQ(whitespace_length_at(other, 0), 0u);
    }
    EXPECT_EQ(whitespace_length_at(" ", 1), 0u);
}

TEST(TextTrim, Table) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"", ""},
        {" \t\n", ""},
        {"a", "a"},
        {"  a b\t\r\n", "a b"},
        {"\xE3\x80\x80" "42\xC2\xA0", "42"},
        {"\xC3\xA9", "\xC3\xA9"},
    };
    for (const auto& [text, trimmed] : rows) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(trim_text(text), trimmed);
    }
}

TEST(TextSplitOnChar, Table) {
    const std::vector<std::pair<std::string, Strings>> rows = {
        {"", {""}},
        {"2/345", {"2", "345"}},
        {"3", {"3"}},
        {"/10", {"", "10"}},
        {"2/", {"2", ""}},
        {"a//b", {"a", "", "b"}},
    };
    for (const auto& [text, pieces] : rows) {
        SCOPED_TRACE(text);
        EXPECT_EQ(collect(split_on_char(text, '/')), pieces);
    }
}

TEST(TextSplitOnChar, IteratorsAtDifferentPiecesDiffer) {
    const auto pieces = split_on_char("2/", '/');
    auto first = pieces.begin();
    auto second = std::next(first);
    EXPECT_FALSE(first == second);
    EXPECT_EQ(std::distance(pieces.begin(), pieces.end()), 2);
}

TEST(TextParseU64, Table) {
    const std::vector<std::pair<std::string, std::optional<std::uint64_t>>> rows = {
        {"0", 0},
        {"007", 7},
        {"+5", 5},
        {"+0", 0},
        {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
        {"000018446744073709551615", std::numeric_limits<std::uint64_t>::max()},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-0", std::nullopt},
        {"++1", std::nullopt},
        {"5 ", std::nullopt},
        {" 5", std::nullopt},
        {"12kB", std::nullopt},
        {"1.0", std::nullopt},
        {"\xD9\xA3", std::nullopt},  // ARABIC-INDIC DIGIT THREE
    };
    for (const auto& [token, value] : rows) {
        SCOPED_TRACE(token);
        EXPECT_EQ(parse_u64(token), value);
    }
}

TEST(TextKeyedLineValue, Table) {
    const std::vector<std::pair<std::string, std::uint64_t>> rows = {
        {"ctxt", 0},
        {"ctxt ", 0},
        {"ctxt 1000", 1000},
        {"MemTotal: 16 kB", 16},
        {"  MemTotal:\t\t16\r", 16},
        {"MemTotal: 12kB", 0},
        {"ctxt -1", 0},
        {"ctxt\xC2\xA0" "77", 77},
    };
    for (const auto& [line, value] : rows) {
        SCOPED_TRACE(line);
        EXPECT_EQ(keyed_line_value(line), value);
    }
}

template <class Float>
void expect_same_float(std::optional<Float> actual, std::optional<Float> expected) {
    ASSERT_EQ(actual.has_value(), expected.has_value());
    if (!expected) return;
    if (std::isnan(*expected)) {
        EXPECT_TRUE(std::isnan(*actual));
        return;
    }
    // Bit patterns: tells -0 from 0 and a subnormal from its neighbours.
    EXPECT_EQ(std::memcmp(&*actual, &*expected, sizeof(Float)), 0) << *actual << " vs " << *expected;
}

constexpr float f32_inf = std::numeric_limits<float>::infinity();
constexpr double f64_inf = std::numeric_limits<double>::infinity();
constexpr float f32_nan = std::numeric_limits<float>::quiet_NaN();
constexpr double f64_nan = std::numeric_limits<double>::quiet_NaN();

TEST(TextParseFloat, Table) {
    struct Row {
        std::string token;
        std::optional<float> f32;
        std::optional<double> f64;
    };
    const std::vector<Row> rows = {
        {"0.52", 0.52f, 0.52},
        {".5", 0.5f, 0.5},
        {"5.", 5.0f, 5.0},
        {"+5", 5.0f, 5.0},
        {"1e3", 1000.0f, 1000.0},
        {"1.5E+3", 1500.0f, 1500.0},
        {"25e-1", 2.5f, 2.5},
        {"-0", -0.0f, -0.0},
        {"-0.0e0", -0.0f, -0.0},
        {"0.1", 0.1f, 0.1},
        {"16777217", 16777216.0f, 16777217.0},  // a tie in single precision: to even
        {"1e40", f32_inf, 1e40},
        {"-1e40", -f32_inf, -1e40},
        {"1e400", f32_inf, f64_inf},
        {"1e-50", 0.0f, 1e-50},
        {"-1e-50", -0.0f, -1e-50},
        {"1e-45", std::numeric_limits<float>::denorm_min(), 1e-45},
        {"1e-400", 0.0f, 0.0},
        {"3e-324", 0.0f, std::numeric_limits<double>::denorm_min()},
        {"inf", f32_inf, f64_inf},
        {"-Infinity", -f32_inf, -f64_inf},
        {"INFINITY", f32_inf, f64_inf},
        {"nan", f32_nan, f64_nan},
        {"NaN", f32_nan, f64_nan},
        {"", std::nullopt, std::nullopt},
        {"+", std::nullopt, std::nullopt},
        {"-", std::nullopt, std::nullopt},
        {".", std::nullopt, std::nullopt},
        {"e5", std::nullopt, std::nullopt},
        {".e5", std::nullopt, std::nullopt},
        {"1e", std::nullopt, std::nullopt},
        {"1e+", std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt},
        {"1,5", std::nullopt, std::nullopt},
        {"1_000", std::nullopt, std::nullopt},
        {" 1", std::nullopt, std::nullopt},
        {"1 ", std::nullopt, std::nullopt},
        {"+-1", std::nullopt, std::nullopt},
        {"1.2.3", std::nullopt, std::nullopt},
        {"infin", std::nullopt, std::nullopt},
        {"nan(1)", std::nullopt, std::nullopt},
        {"1f", std::nullopt, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.token);
        expect_same_float(parse_f32(row.token), row.f32);
        expect_same_float(parse_f64(row.token), row.f64);
    }
}

}  // namespace
}  // namespace hostprobe
