// One-line checks of a whole error text: a LoadError value or an internal failure.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <expected>
#include <format>
#include <string>
#include <string_view>

#include "corvid/load/internal_failure.hpp"
#include "corvid/load/load_error.hpp"

namespace corvid::test {

// EXPECT_TRUE(fails_with(load_tensor(path), "IO Error: ..."));
template <class T>
::testing::AssertionResult fails_with(const std::expected<T, LoadError>& result, std::string_view text) {
    if (result.has_value()) return ::testing::AssertionFailure() << "succeeded, expected \"" << text << '"';
    if (result.error().message() != text) {
        return ::testing::AssertionFailure() << "failed with \"" << result.error().message() << "\", expected \""
                                             << text << '"';
    }
    return ::testing::AssertionSuccess();
}

// EXPECT_TRUE(fails_with_header_syntax(load_tensor(path), 1, 25)): a SerDe
// Error at that place, in whatever words the JSON parser has for it.
template <class T>
::testing::AssertionResult fails_with_header_syntax(const std::expected<T, LoadError>& result, std::size_t line,
                                                    std::size_t column) {
    if (result.has_value()) return ::testing::AssertionFailure() << "succeeded, expected a SerDe Error";
    const std::string& text = result.error().message();
    const std::string suffix = std::format(" at line {} column {}", line, column);
    if (!text.starts_with("SerDe Error: ") || !text.ends_with(suffix) ||
        text.size() <= std::string_view("SerDe Error: ").size() + suffix.size()) {
        return ::testing::AssertionFailure() << "failed with \"" << text << "\", expected \"SerDe Error: ..."
                                             << suffix << '"';
    }
    return ::testing::AssertionSuccess();
}

// EXPECT_TRUE(fails_internally([&] { return load_tensor(path); }, "mid > len"));
template <class Call>
::testing::AssertionResult fails_internally(Call call, std::string_view text) {
    try {
        (void)call();
    } catch (const InternalFailure& failure) {
        if (failure.message() == text) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "internal failure \"" << failure.message() << "\", expected \""
                                             << text << '"';
    }
    return ::testing::AssertionFailure() << "no internal failure, expected \"" << text << '"';
}

}  // namespace corvid::test
