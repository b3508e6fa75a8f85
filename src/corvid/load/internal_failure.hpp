// Internal failures: broken preconditions for which no error value exists.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace corvid {

// Thrown by the core, caught only by the extension's entry frame, which raises
// it as PanicException. Never used for expected failures (those are values).
class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Reports `message` and where it arose on stderr, then throws InternalFailure.
[[noreturn]] void fail_internal(std::string message,
                                std::source_location where = std::source_location::current());

}  // namespace corvid
