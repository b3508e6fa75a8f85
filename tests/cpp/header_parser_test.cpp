// Header parsing: strict grammar, nesting limit and failure positions.
#include "corvid/load/header_parser.hpp"

#include <gtest/gtest.h>

#include <format>
#include <optional>
#include <ostream>
#include <string>

namespace corvid {
namespace {

using namespace std::string_literals;

// The failure of `text`, or nothing when it parses.
std::optional<HeaderSyntaxError> failure_of(std::string_view text) {
    auto header = parse_header(text);
    if (header.has_value()) return std::nullopt;
    return std::move(header.error());
}

// `{"a":` followed by arrays so that the text nests `levels` deep, then `tail`.
std::string nested(std::size_t levels, std::string_view tail = "}") {
    return R"({"a":)" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + std::string(tail);
}

std::string repeated(std::string_view text, std::size_t times) {
    std::string result;
    for (std::size_t i = 0; i < times; ++i) result += text;
    return result;
}

// The adapter's own words, checked exactly; other failures are worded by
// the JSON parser (its wording may change with its version), so only their
// position is checked.
constexpr std::string_view parser_words = "";
constexpr std::string_view empty = "input data is empty";
constexpr std::string_view too_deep = "nesting is deeper than 127 levels";
constexpr std::string_view not_an_object = "the header is valid JSON but not an object";

struct Failure {
    std::string name;
    std::string text;
    std::size_t line;
    std::size_t column;
    std::string_view message = parser_words;
};

// Without it GoogleTest would print the cases' raw bytes, uninitialised ones included.
std::ostream& operator<<(std::ostream& out, const Failure& failure) { return out << failure.name; }

class header_failure_test : public ::testing::TestWithParam<Failure> {};

TEST_P(header_failure_test, reports_the_failure_where_it_is_detected) {
    const Failure& expected = GetParam();
    const auto failure = failure_of(expected.text);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->line, expected.line);
    EXPECT_EQ(failure->column, expected.column);
    EXPECT_FALSE(failure->message.empty());
    if (!expected.message.empty()) {
        EXPECT_EQ(failure->message, expected.message);
    }
    EXPECT_EQ(failure->describe(),
              std::format("{} at line {} column {}", failure->message, expected.line, expected.column));
}

INSTANTIATE_TEST_SUITE_P(
    positions, header_failure_test,
    ::testing::Values(
        Failure{"missing_colon", R"({"a" 1})", 1, 6},
        Failure{"missing_comma", R"({"a":1 "b":2})", 1, 8},
        Failure{"wrong_closing_bracket", R"({"a":[1,2})", 1, 10},
        Failure{"end_inside_an_array", R"({"a":[1,2)", 1, 9},
        Failure{"end_after_a_line_feed", "{\"a\":\n", 2, 0},
        Failure{"trailing_comma_in_an_object", R"({"a":1,})", 1, 8},
        Failure{"trailing_comma_before_a_bracket_on_the_next_line", "{\"a\":[1,\n  ]}", 2, 3},
        Failure{"trailing_comma_before_a_carriage_return", "{\"a\":[1,\r]}", 1, 10},
        Failure{"trailing_characters", "{} x", 1, 4},
        Failure{"a_second_object", "{}{}", 1, 3},
        Failure{"nul_padding", "{} \0\0"s, 1, 4},
        Failure{"control_byte_in_a_string", "{\"a\":\"x\ty\"}", 1, 8},
        Failure{"line_feed_in_a_string_counts_on_its_own_line", "{\"a\":\"x\ny\"}", 1, 8},
        Failure{"byte_order_mark", "\xEF\xBB\xBF{}", 1, 1},
        Failure{"empty", "", 1, 0, empty},
        Failure{"white_space_only", " \r\n\t ", 2, 2, empty},
        Failure{"a_later_line", "{\n  \"a\": 1,\n  \"b\" 2\n}", 3, 7},
        Failure{"name_not_a_string", "{1:2}", 1, 2},
        Failure{"number", "5", 1, 1, not_an_object},
        Failure{"array_after_white_space", " \n []", 2, 2, not_an_object},
        Failure{"null", "null", 1, 1, not_an_object},
        Failure{"depth_128", nested(128), 1, 132, too_deep},
        Failure{"depth_128_of_objects", repeated(R"({"a":)", 128) + "1" + std::string(128, '}'), 1, 636, too_deep},
        Failure{"depth_128_before_a_later_syntax_error", nested(128, "} x"), 1, 132, too_deep},
        Failure{"syntax_error_before_depth_128", R"({"b":x,"a":)" + std::string(200, '['), 1, 6},
        Failure{"top_level_array_128_deep", std::string(128, '[') + std::string(128, ']'), 1, 128, too_deep}),
    [](const auto& instance) { return instance.param.name; });

class header_strictness_test : public ::testing::TestWithParam<std::string> {};

TEST_P(header_strictness_test, rejects) { EXPECT_FALSE(parse_header(GetParam()).has_value()); }

INSTANTIATE_TEST_SUITE_P(
    grammar, header_strictness_test,
    ::testing::Values(R"({"a":1} // comment)", R"(/* comment */ {})", R"({'a':1})", R"({a:1})", R"({"a":'x'})",
                      R"({"a":[1,]})", R"({"a":1,,"b":2})", R"({"a":NaN})", R"({"a":Infinity})",
                      R"({"a":-Infinity})", R"({"a":1e999})", R"({"a":-1e999})", R"({"a":01})", R"({"a":-})",
                      R"({"a":1.})", R"({"a":.5})", R"({"a":1e})", R"({"a":+1})", R"({"a":0x10})",
                      R"({"a":tru})", R"({"a":True})", R"({"a":"\x41"})", R"({"a":"\u12"})", R"({"a":"\ud800"})",
                      R"({"a":"\udc00\ud800"})", "{\"a\":\"\xFF\"}", "{\"a\":\"\xC0\xAF\"}",
                      "{\"a\":\"\xED\xA0\x80\"}", "{\"a\":\"\x1F\"}", "{\"a\":\"\0\"}"s, "{\v}", "{\f}",
                      "{\xC2\xA0}"));

TEST(header_parser_test, accepts_every_escape_and_white_space_around_every_token) {
    const auto failure = failure_of(" \t{\r\n\"s\" : \"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83d\\ude00\" ,"
                                    " \"a\\u0000b\" : [ 1 , -0 , 2.5e-3 , { } , [ ] , true , false , null ] }\n ");
    EXPECT_FALSE(failure.has_value()) << failure->describe();
}

TEST(header_parser_test, nests_127_levels_and_ignores_brackets_in_strings) {
    EXPECT_FALSE(failure_of(nested(127)).has_value());
    EXPECT_FALSE(failure_of(R"({"a":")" + std::string(200, '[') + R"(\"["})").has_value());
    EXPECT_FALSE(failure_of(R"({"a":"\")" + std::string(200, '[') + R"("})").has_value());
}

TEST(header_parser_test, reports_the_end_of_a_long_white_space_header_without_trouble) {
    const auto failure = failure_of(std::string(16 << 20, ' '));
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->describe(), "input data is empty at line 1 column 16777216");
}

}  // namespace
}  // namespace corvid
