// The float32 arithmetic of an embedding, bit for bit.
#include "corvid/model/pooling.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <tuple>
#include <vector>

namespace corvid {
namespace {

std::vector<std::uint32_t> bits_of(const std::vector<float>& values) {
    std::vector<std::uint32_t> bits;
    for (const float value : values) bits.push_back(std::bit_cast<std::uint32_t>(value));
    return bits;
}

// Values whose sums round differently depending on the order of additions.
float awkward(std::size_t i) {
    return static_cast<float>(i % 7) * 0.1f + static_cast<float>(i % 3) * 1e7f;
}

class add_row_test : public ::testing::TestWithParam<std::size_t> {};

TEST_P(add_row_test, adds_each_element_once_in_block_and_tail_alike) {
    const std::size_t width = GetParam();
    std::vector<float> sum(width, 0.0f), expected(width, 0.0f), row(width);
    for (int pass = 0; pass < 3; ++pass) {
        for (std::size_t i = 0; i < width; ++i) row[i] = awkward(i + static_cast<std::size_t>(pass));
        add_row(sum, row.data());
        for (std::size_t i = 0; i < width; ++i) expected[i] = expected[i] + row[i];
    }
    EXPECT_EQ(bits_of(sum), bits_of(expected));
}

INSTANTIATE_TEST_SUITE_P(widths, add_row_test, ::testing::Values(0, 1, 7, 8, 9, 16, 23, 256));

class add_rows_test : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(add_rows_test, equals_adding_the_rows_one_by_one_in_order) {
    const auto [width, count] = GetParam();
    std::vector<std::vector<float>> rows(count, std::vector<float>(width));
    std::vector<const float*> pointers;
    for (std::size_t r = 0; r < count; ++r) {
        for (std::size_t i = 0; i < width; ++i) rows[r][i] = awkward(i * 5 + r) * (r % 2 == 0 ? 1.0f : -1.0f);
        pointers.push_back(rows[r].data());
    }
    std::vector<float> grouped(width, 0.5f), one_by_one(width, 0.5f);
    add_rows(grouped, pointers);
    for (const float* row : pointers) {
        for (std::size_t i = 0; i < width; ++i) one_by_one[i] = one_by_one[i] + row[i];
    }
    EXPECT_EQ(bits_of(grouped), bits_of(one_by_one));
}

INSTANTIATE_TEST_SUITE_P(widths_and_group_sizes, add_rows_test,
                         ::testing::Combine(::testing::Values(0, 1, 9, 31, 32, 33, 75, 256),
                                            ::testing::Values(0, 1, 3, 8)));

class normalize_l2_rows_test : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

// Rows normalised side by side equal each normalised alone, bit for bit: whole
// groups of eight, the rows after them, and rows of NaN, zeros and tiny values.
TEST_P(normalize_l2_rows_test, equals_normalize_l2_of_each_row) {
    const auto [width, count] = GetParam();
    std::vector<float> rows(width * count);
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = awkward(i * 3) * (i % 5 == 0 ? -1.0f : 1.0f);
    if (count > 2) std::fill_n(rows.begin() + static_cast<std::ptrdiff_t>(width), width, std::nanf(""));
    if (count > 3) std::fill_n(rows.begin() + static_cast<std::ptrdiff_t>(2 * width), width, 1e-30f);
    std::vector<float> expected = rows;
    for (std::size_t r = 0; r < count; ++r) normalize_l2(std::span(expected).subspan(r * width, width));
    normalize_l2_rows(rows, width);
    EXPECT_EQ(bits_of(rows), bits_of(expected));
}

INSTANTIATE_TEST_SUITE_P(widths_and_row_counts, normalize_l2_rows_test,
                         ::testing::Combine(::testing::Values(0, 1, 7, 256), ::testing::Values(0, 1, 8, 13, 17)));

TEST(divide_by_count_test, divides_truly_and_turns_an_empty_sum_into_nan) {
    std::vector<float> values = {1.0f, 10.0f, 0.0f};
    divide_by_count(values, 3.0f);
    EXPECT_EQ(bits_of(values), bits_of({1.0f / 3.0f, 10.0f / 3.0f, 0.0f}));
    divide_by_count(values, 0.0f);
    EXPECT_TRUE(std::isnan(values[2]));
}

TEST(normalize_l2_test, sums_squares_in_index_order_then_divides_by_the_norm) {
    std::vector<float> values = {3.0f, 1e-4f, 4.0f, 1e8f};
    float squares = 0.0f;
    for (const float v : values) squares = squares + v * v;
    const float norm = std::sqrt(squares);
    const std::vector<float> expected = {3.0f / norm, 1e-4f / norm, 4.0f / norm, 1e8f / norm};
    normalize_l2(values);
    EXPECT_EQ(bits_of(values), bits_of(expected));
}

TEST(normalize_l2_test, keeps_zeros_and_their_signs) {
    std::vector<float> values = {0.0f, -0.0f};
    normalize_l2(values);
    EXPECT_EQ(bits_of(values), bits_of({0.0f, -0.0f}));
}

TEST(normalize_l2_test, divides_a_tiny_vector_by_the_floor_not_its_norm) {
    std::vector<float> values = {1e-20f, 0.0f};
    normalize_l2(values);
    EXPECT_EQ(bits_of(values), bits_of({1e-20f / 1e-12f, 0.0f}));
}

TEST(normalize_l2_test, divides_by_the_floor_when_the_norm_is_nan) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> values = {nan, 2e-12f};
    normalize_l2(values);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(values[1]), std::bit_cast<std::uint32_t>(2e-12f / 1e-12f));
}

}  // namespace
}  // namespace corvid
