// One-line checks of a whole error text: a LoadError value or an internal failure.
#pragma once

#include <gtest/gtest.h>

#include <expected>
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
