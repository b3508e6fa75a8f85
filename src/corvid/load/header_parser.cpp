// Strict header parsing: yyjson's reader plus the rules it lacks (a nesting
// limit, positions where the failure is detected, an object at the top).
#include "corvid/load/header_parser.hpp"

#include <yyjson.h>

#include <algorithm>
#include <format>
#include <memory>
#include <new>
#include <optional>
#include <utility>

namespace corvid {

namespace {

constexpr std::size_t max_depth = 127;
constexpr std::string_view empty_message = "input data is empty";
constexpr std::string_view too_deep_message = "nesting is deeper than 127 levels";
constexpr std::string_view not_an_object_message = "the header is valid JSON but not an object";

bool is_white_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skip_white_space(std::string_view text, std::size_t offset) noexcept {
    while (offset < text.size() && is_white_space(text[offset])) ++offset;
    return offset;
}

// The failure detected at byte `offset` of `text` (text.size() for its end).
HeaderSyntaxError failure_at(std::string_view text, std::size_t offset, std::string_view message) {
    const std::string_view before = text.substr(0, offset);
    const std::size_t last_line_feed = before.rfind('\n');
    const std::size_t line_start = last_line_feed == std::string_view::npos ? 0 : last_line_feed + 1;
    const std::size_t at_failing_byte = offset < text.size() ? 1 : 0;
    return HeaderSyntaxError{
        .message = std::string(message),
        .line = 1 + static_cast<std::size_t>(std::ranges::count(before, '\n')),
        .column = offset - line_start + at_failing_byte,
    };
}

// The offset of the bracket or brace that opens level max_depth + 1, if any.
// `text` must be valid JSON as far as it goes, so strings are the only places
// where brackets are not structure.
std::optional<std::size_t> find_too_deep(std::string_view text) noexcept {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max_depth) return i;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return std::nullopt;
}

// Where a yyjson failure is detected: yyjson points at the comma of a trailing
// comma, which is only known to be one at the bracket after it, and at the
// start of white-space-only text, which is only known to be empty at its end.
std::size_t detection_offset(std::string_view text, const yyjson_read_err& error) noexcept {
    const std::size_t offset = std::min(error.pos, text.size());
    if (error.code == YYJSON_READ_ERROR_EMPTY_CONTENT) return text.size();
    if (error.code == YYJSON_READ_ERROR_JSON_STRUCTURE && offset < text.size() && text[offset] == ',') {
        const std::size_t bracket = skip_white_space(text, offset + 1);
        if (bracket < text.size()) return bracket;
    }
    return offset;
}

}  // namespace

std::string HeaderSyntaxError::describe() const {
    return std::format("{} at line {} column {}", message, line, column);
}

void ParsedHeader::DocumentFree::operator()(yyjson_doc* document) const noexcept { yyjson_doc_free(document); }

yyjson_val* ParsedHeader::object() const noexcept { return yyjson_doc_get_root(document_.get()); }

std::expected<ParsedHeader, HeaderSyntaxError> parse_header(std::string_view text) {
    // yyjson refuses empty input as a bad argument rather than as JSON.
    if (text.empty()) return std::unexpected(failure_at(text, 0, empty_message));

    yyjson_read_err error{};
    // Without the in-situ flag yyjson only reads the text.
    std::unique_ptr<yyjson_doc, ParsedHeader::DocumentFree> document(
        yyjson_read_opts(const_cast<char*>(text.data()), text.size(), YYJSON_READ_NOFLAG, nullptr, &error));
    if (!document) {
        if (error.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
        // yyjson has no nesting limit: a level too deep before its failure comes first.
        if (const auto too_deep = find_too_deep(text.substr(0, std::min(error.pos, text.size())))) {
            return std::unexpected(failure_at(text, *too_deep, too_deep_message));
        }
        return std::unexpected(failure_at(text, detection_offset(text, error), error.msg));
    }
    if (const auto too_deep = find_too_deep(text)) {
        return std::unexpected(failure_at(text, *too_deep, too_deep_message));
    }
    yyjson_val* root = yyjson_doc_get_root(document.get());
    if (!yyjson_is_obj(root)) {
        return std::unexpected(failure_at(text, skip_white_space(text, 0), not_an_object_message));
    }
    return ParsedHeader(std::move(document));
}

}  // namespace corvid
