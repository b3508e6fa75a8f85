// Header parsing: strict grammar, number kinds, nesting limit, failure
// positions and folding of repeated names.
#include "corvid/load/header_parser.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace corvid {
namespace {

using namespace std::string_literals;

std::string failure_of(std::string_view text) {
    const auto header = parse_header(text);
    if (header.has_value()) return "parsed";
    return header.error().describe();
}

std::vector<std::string> names_of(const JsonObject& object) {
    std::vector<std::string> names;
    for (const auto& member : object) names.push_back(member.name);
    return names;
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

struct Failure {
    std::string name;
    std::string text;
    std::string expected;
};

// Without it GoogleTest would print the cases' raw bytes, uninitialised ones included.
std::ostream& operator<<(std::ostream& out, const Failure& failure) { return out << failure.name; }

class header_failure_test : public ::testing::TestWithParam<Failure> {};

TEST_P(header_failure_test, reports_the_message_where_the_failure_is_detected) {
    EXPECT_EQ(failure_of(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    positions, header_failure_test,
    ::testing::Values(
        Failure{"missing_colon", R"({"a" 1})", "unexpected character, expected ':' after key at line 1 column 6"},
        Failure{"missing_comma", R"({"a":1 "b":2})",
                "unexpected character, expected ',' or '}' at line 1 column 8"},
        Failure{"wrong_closing_bracket", R"({"a":[1,2})",
                "unexpected character, expected ',' or ']' at line 1 column 10"},
        Failure{"end_inside_an_array", R"({"a":[1,2)", "unexpected end of data at line 1 column 9"},
        Failure{"end_after_a_line_feed", "{\"a\":\n", "unexpected end of data at line 2 column 0"},
        Failure{"trailing_comma_in_an_object", R"({"a":1,})", "trailing comma is not allowed at line 1 column 8"},
        Failure{"trailing_comma_before_a_bracket_on_the_next_line", "{\"a\":[1,\n  ]}",
                "trailing comma is not allowed at line 2 column 3"},
        Failure{"trailing_characters", "{} x", "unexpected content after document at line 1 column 4"},
        Failure{"a_second_object", "{}{}", "unexpected content after document at line 1 column 3"},
        Failure{"nul_padding", "{} \0\0"s, "unexpected content after document at line 1 column 4"},
        Failure{"control_byte_in_a_string", "{\"a\":\"x\ty\"}",
                "unexpected control character in string at line 1 column 8"},
        Failure{"line_feed_in_a_string_counts_on_its_own_line", "{\"a\":\"x\ny\"}",
                "unexpected control character in string at line 1 column 8"},
        Failure{"byte_order_mark", "\xEF\xBB\xBF{}",
                "UTF-8 byte order mark (BOM) is not supported at line 1 column 1"},
        Failure{"empty", "", "input data is empty at line 1 column 0"},
        Failure{"white_space_only", " \r\n\t ", "input data is empty at line 2 column 2"},
        Failure{"a_later_line", "{\n  \"a\": 1,\n  \"b\" 2\n}",
                "unexpected character, expected ':' after key at line 3 column 7"},
        Failure{"name_not_a_string", "{1:2}", "unexpected character, expected a string key at line 1 column 2"},
        Failure{"number", "5", "the header is valid JSON but not an object at line 1 column 1"},
        Failure{"array_after_white_space", " \n []", "the header is valid JSON but not an object at line 2 column 2"},
        Failure{"null", "null", "the header is valid JSON but not an object at line 1 column 1"},
        Failure{"depth_128", nested(128), "nesting is deeper than 127 levels at line 1 column 132"},
        Failure{"depth_128_of_objects", repeated(R"({"a":)", 128) + "1" + std::string(128, '}'),
                "nesting is deeper than 127 levels at line 1 column 636"},
        Failure{"depth_128_before_a_later_syntax_error", nested(128, "} x"),
                "nesting is deeper than 127 levels at line 1 column 132"},
        Failure{"syntax_error_before_depth_128", R"({"b":x,"a":)" + std::string(200, '['),
                "unexpected character, expected a JSON value at line 1 column 6"},
        Failure{"top_level_array_128_deep", std::string(128, '[') + std::string(128, ']'),
                "nesting is deeper than 127 levels at line 1 column 128"}),
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
    const auto header = parse_header(" \t{\r\n\"s\" : \"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83d\\ude00\" ,"
                                     " \"a\\u0000b\" : [ 1 , { } , [ ] ] }\n ");
    ASSERT_TRUE(header.has_value()) << header.error().describe();
    ASSERT_EQ(names_of(*header), (std::vector{"s"s, "a\0b"s}));
    EXPECT_EQ(std::get<std::string>((*header)[0].value.content), "\"\\/\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(header_parser_test, keeps_the_kind_each_number_was_written_as) {
    const auto header = parse_header(R"({"u":18446744073709551615,"s":-9223372036854775808,"z":-0,)"
                                     R"("big":18446744073709551616,"low":-9223372036854775809,"f":2.0,"e":1e2})");
    ASSERT_TRUE(header.has_value()) << header.error().describe();
    const auto number = [&](std::string_view name) { return find_member(*header, name)->content; };
    EXPECT_EQ(std::get<std::uint64_t>(number("u")), UINT64_MAX);
    EXPECT_EQ(std::get<std::int64_t>(number("s")), INT64_MIN);
    EXPECT_EQ(std::get<std::int64_t>(number("z")), 0);
    EXPECT_EQ(std::get<double>(number("big")), 18446744073709551616.0);
    EXPECT_EQ(std::get<double>(number("low")), -9223372036854775809.0);
    EXPECT_EQ(std::get<double>(number("f")), 2.0);
    EXPECT_EQ(std::get<double>(number("e")), 100.0);
}

TEST(header_parser_test, nests_127_levels_and_ignores_brackets_in_strings) {
    EXPECT_EQ(failure_of(nested(127)), "parsed");
    EXPECT_EQ(failure_of(R"({"a":")" + std::string(200, '[') + R"(\"["})"), "parsed");
}

TEST(header_parser_test, repeated_names_keep_their_first_position_and_last_value_at_every_level) {
    const auto header = parse_header(R"({"a":1,"b":{"x":1,"y":2,"x":[3]},"a":{"z":1,"z":null}})");
    ASSERT_TRUE(header.has_value()) << header.error().describe();
    ASSERT_EQ(names_of(*header), (std::vector{"a"s, "b"s}));
    const auto& a = std::get<JsonObject>((*header)[0].value.content);
    ASSERT_EQ(names_of(a), std::vector{"z"s});
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(a[0].value.content));
    const auto& b = std::get<JsonObject>((*header)[1].value.content);
    ASSERT_EQ(names_of(b), (std::vector{"x"s, "y"s}));
    EXPECT_EQ(std::get<JsonArray>(b[0].value.content).size(), 1u);
}

TEST(header_parser_test, reports_the_end_of_a_long_white_space_header_without_trouble) {
    EXPECT_EQ(failure_of(std::string(16 << 20, ' ')), "input data is empty at line 1 column 16777216");
}

}  // namespace
}  // namespace corvid
