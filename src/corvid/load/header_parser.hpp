// Strict parsing of the weights file header into the JSON parser's own tree.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

struct yyjson_doc;
struct yyjson_val;

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

// The parsed header: yyjson's document, the one tree built from the text. Its
// objects hold every occurrence of a repeated name; whoever reads a member
// folds them (first position, last value).
class ParsedHeader {
public:
    // The header object.
    [[nodiscard]] yyjson_val* object() const noexcept;

private:
    friend std::expected<ParsedHeader, HeaderSyntaxError> parse_header(std::string_view text);
    struct DocumentFree {
        void operator()(yyjson_doc* document) const noexcept;
    };
    explicit ParsedHeader(std::unique_ptr<yyjson_doc, DocumentFree> document) noexcept
        : document_(std::move(document)) {}

    std::unique_ptr<yyjson_doc, DocumentFree> document_;
};

// Parses `text` by RFC 8259 with no extensions: one object, only white space
// around it, nesting at most 127 levels (the object itself is the first).
// Throws std::bad_alloc when memory runs out.
[[nodiscard]] std::expected<ParsedHeader, HeaderSyntaxError> parse_header(std::string_view text);

}  // namespace corvid
