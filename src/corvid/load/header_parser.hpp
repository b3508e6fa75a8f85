// Strict parsing of the weights file header into its ordered entries.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "corvid/load/json_value.hpp"

namespace corvid {

// Why and where the header text is not one JSON object.
struct HeaderSyntaxError {
    std::string message;  // the parser's description, without position
    std::size_t line;     // 1 + line feeds before the failure point
    std::size_t column;   // bytes of that line up to and including the failing
                          // byte; at the end of the text, all bytes of the line

    // "{message} at line {line} column {column}"
    [[nodiscard]] std::string describe() const;
};

// Parses `text` by RFC 8259 with no extensions: one object, only white space
// around it, nesting at most 127 levels (the object itself is the first).
// Repeated names are folded at every level (first position, last value).
// Throws std::bad_alloc when memory runs out.
[[nodiscard]] std::expected<JsonObject, HeaderSyntaxError> parse_header(std::string_view text);

}  // namespace corvid
