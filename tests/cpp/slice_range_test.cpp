// The range failures: which bound is reported, and numbers beyond 64 bits.
#include "corvid/load/slice_range.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "error_checks.hpp"

namespace corvid {
namespace {

using test::fails_internally;

// (begin, end, length, message): the start is tested first, then the end,
// then the order of the two.
class slice_range_test
    : public ::testing::TestWithParam<std::tuple<WideIndex, WideIndex, std::uint64_t, std::string>> {};

TEST_P(slice_range_test, reports_the_first_broken_bound) {
    const auto& [begin, end, length, message] = GetParam();
    EXPECT_TRUE(fails_internally([&] { fail_slice_out_of_range(begin, end, length); }, message));
}

constexpr WideIndex two_to_the_99 = WideIndex{1} << 99;

INSTANTIATE_TEST_SUITE_P(
    bounds, slice_range_test,
    ::testing::Values(
        std::tuple{WideIndex{11}, WideIndex{3}, 10u, "range start index 11 out of range for slice of length 10"},
        std::tuple{WideIndex{0}, WideIndex{11}, 10u, "range end index 11 out of range for slice of length 10"},
        std::tuple{WideIndex{5}, WideIndex{3}, 10u, "slice index starts at 5 but ends at 3"},
        std::tuple{two_to_the_99, two_to_the_99 + 1, 48u,
                   "range start index 633825300114114700748351602688 out of range for slice of length 48"},
        std::tuple{WideIndex{0}, two_to_the_99, UINT64_MAX,
                   "range end index 633825300114114700748351602688 out of range for slice of length "
                   "18446744073709551615"}));

}  // namespace
}  // namespace corvid
