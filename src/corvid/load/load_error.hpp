// The error value of everything that fails after construction, and its
// message catalogue.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace corvid {

// One owned UTF-8 message, rendered unchanged.
class LoadError {
public:
    explicit LoadError(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// One row of the errno table behind io_failure: the code and its {kind} phrase.
struct IoErrorCategory {
    int code;
    std::string_view phrase;
};

// Every errno with a category of its own; any other code is "uncategorized error".
[[nodiscard]] std::span<const IoErrorCategory> io_error_categories() noexcept;

// "IO Error: {kind}. Details: {system text} (os error {code})" for an errno.
[[nodiscard]] LoadError io_failure(int error_code);

// "IO Error: out of memory. Details: out of memory": a read buffer could not be had.
[[nodiscard]] LoadError io_failure_out_of_memory();

// "IO Error: operation interrupted. Details: operation interrupted": the
// caller's stop check asked the load to stop.
[[nodiscard]] LoadError io_failure_interrupted();

// "IO Error: unsupported. Details: the weights file is not a regular file but
// {what}": a FIFO, a device or a socket is never read.
[[nodiscard]] LoadError io_failure_not_regular_file(std::string_view what);

// "IO Error: unexpected end of file. Details: the weights file became shorter
// while it was read"
[[nodiscard]] LoadError io_failure_file_shrank();

// "SerDe Error: {parser message}", the message already ending in its position.
[[nodiscard]] LoadError header_syntax_failure(std::string_view parser_message);

// "Could not find tensor details for the current safetensors model"
[[nodiscard]] LoadError tensor_not_found();

}  // namespace corvid
