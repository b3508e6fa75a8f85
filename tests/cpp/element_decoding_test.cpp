// Element decoding: each type's conversion, rows at any alignment, and the
// two binary16 widening paths agreeing on every pattern.
#include "corvid/model/element_decoding.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "corvid/model/half_widening.hpp"

namespace corvid {
namespace {

std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

// The little-endian bytes of `value`, low `width` bytes only.
std::vector<std::byte> little_endian(std::uint64_t value, std::size_t width) {
    std::vector<std::byte> bytes(width);
    for (std::size_t i = 0; i < width; ++i) bytes[i] = static_cast<std::byte>(value >> (8 * i));
    return bytes;
}

struct DecodeCase {
    const char* name;
    DataType dtype;
    std::uint64_t stored;  // the element's bits, stored little-endian
    std::uint32_t expected_bits;
};

std::ostream& operator<<(std::ostream& out, const DecodeCase& c) { return out << c.name; }

class decode_element_test : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(decode_element_test, gives_the_expected_bits) {
    const DecodeCase& c = GetParam();
    const auto bytes = little_endian(c.stored, element_width(c.dtype));
    EXPECT_EQ(bits_of(decode_element(c.dtype, bytes.data())), c.expected_bits)
        << std::hex << "stored 0x" << c.stored;
    // decode_element may use the instruction; hold the rule to the same bits.
    if (c.dtype == DataType::F16) {
        EXPECT_EQ(half::widen_bits(static_cast<std::uint16_t>(c.stored)), c.expected_bits);
    }
}

constexpr std::uint64_t f64_bits(double value) { return std::bit_cast<std::uint64_t>(value); }
constexpr std::uint64_t as_stored(std::int64_t value) { return static_cast<std::uint64_t>(value); }

INSTANTIATE_TEST_SUITE_P(
    edge_cases, decode_element_test,
    ::testing::Values(
        DecodeCase{"f64_point_one_rounds_to_nearest", DataType::F64, f64_bits(0.1), 0x3DCCCCCD},
        DecodeCase{"f64_beyond_range_is_infinity", DataType::F64, f64_bits(1e300), 0x7F800000},
        DecodeCase{"f64_smallest_subnormal_kept", DataType::F64, f64_bits(0x1p-149), 0x00000001},
        DecodeCase{"f64_half_smallest_subnormal_ties_to_zero", DataType::F64, f64_bits(0x1p-150), 0},
        DecodeCase{"f64_three_quarter_ulp_rounds_up", DataType::F64, f64_bits(0x1.8p-150), 0x00000001},
        DecodeCase{"f64_tie_to_even_mantissa", DataType::F64, f64_bits(1.0 + 0x1p-24), 0x3F800000},
        DecodeCase{"f64_nan_stays_nan", DataType::F64, 0x7FF8000000000000, 0x7FC00000},
        DecodeCase{"f32_little_endian_one", DataType::F32, 0x3F800000, 0x3F800000},
        DecodeCase{"f32_signalling_nan_passes_through", DataType::F32, 0x7F800001, 0x7F800001},
        DecodeCase{"f16_negative_zero", DataType::F16, 0x8000, 0x80000000},
        DecodeCase{"f16_one", DataType::F16, 0x3C00, 0x3F800000},
        DecodeCase{"f16_minus_two", DataType::F16, 0xC000, 0xC0000000},
        DecodeCase{"f16_largest_normal", DataType::F16, 0x7BFF, 0x477FE000},
        DecodeCase{"f16_smallest_subnormal", DataType::F16, 0x0001, 0x33800000},
        DecodeCase{"f16_largest_subnormal", DataType::F16, 0x03FF, 0x387FC000},
        DecodeCase{"f16_negative_infinity", DataType::F16, 0xFC00, 0xFF800000},
        DecodeCase{"f16_signalling_nan_is_quieted", DataType::F16, 0x7D00, 0x7FE00000},
        DecodeCase{"f16_nan_payload_kept", DataType::F16, 0x7C01, 0x7FC02000},
        DecodeCase{"bf16_one", DataType::BF16, 0x3F80, 0x3F800000},
        DecodeCase{"bf16_infinity_unchanged", DataType::BF16, 0x7F80, 0x7F800000},
        DecodeCase{"bf16_signalling_nan_is_quieted", DataType::BF16, 0x7FA0, 0x7FE00000},
        DecodeCase{"bf16_nan_payload_kept", DataType::BF16, 0x7F81, 0x7FC10000},
        DecodeCase{"bf16_negative_nan_is_quieted", DataType::BF16, 0xFF81, 0xFFC10000},
        DecodeCase{"bf16_subnormal_carried_over", DataType::BF16, 0x0001, 0x00010000},
        DecodeCase{"i64_beyond_2_pow_24_ties_to_even", DataType::I64, 16777217, 0x4B800000},
        // Through double this would round twice and give 2^62.
        DecodeCase{"i64_rounds_once", DataType::I64, 0x4000004000000001, 0x5E800001},
        DecodeCase{"i64_minimum", DataType::I64, as_stored(std::numeric_limits<std::int64_t>::min()),
                   0xDF000000},
        DecodeCase{"i32_minimum", DataType::I32, 0x80000000, 0xCF000000},
        DecodeCase{"i32_maximum_rounds_up", DataType::I32, 0x7FFFFFFF, 0x4F000000},
        DecodeCase{"i16_minimum", DataType::I16, 0x8000, 0xC7000000},
        DecodeCase{"i8_ff_is_minus_one", DataType::I8, 0xFF, 0xBF800000},
        DecodeCase{"i8_minimum", DataType::I8, 0x80, 0xC3000000},
        DecodeCase{"u8_ff", DataType::U8, 0xFF, 0x437F0000},
        DecodeCase{"bool_one", DataType::BOOL, 0x01, 0x3F800000},
        DecodeCase{"bool_ff_is_not_rejected", DataType::BOOL, 0xFF, 0x437F0000}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

class decode_row_test : public ::testing::TestWithParam<DataType> {};

// An odd count exercises both the 8-wide blocks and the scalar tail; an odd
// offset makes every element misaligned.
TEST_P(decode_row_test, unaligned_row_matches_element_by_element) {
    const DataType dtype = GetParam();
    const std::size_t width = element_width(dtype);
    constexpr std::size_t count = 37;
    std::vector<std::byte> buffer(1 + count * width);
    std::uint32_t state = 12345;
    for (std::byte& b : buffer) {
        state = state * 1103515245u + 12345u;
        b = static_cast<std::byte>(state >> 24);
    }
    const std::byte* row = buffer.data() + 1;

    std::vector<float> out(count);
    decode_row(dtype, row, count, out.data());
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(bits_of(out[i]), bits_of(decode_element(dtype, row + i * width))) << "element " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(every_type, decode_row_test,
                         ::testing::Values(DataType::F64, DataType::F32, DataType::F16, DataType::BF16,
                                           DataType::I64, DataType::I32, DataType::I16, DataType::I8,
                                           DataType::U8, DataType::BOOL),
                         [](const auto& param_info) { return std::string(data_type_name(param_info.param)); });

// Every binary16 pattern, stored at an odd offset.
std::vector<std::byte> all_half_patterns() {
    std::vector<std::byte> bytes(1 + 2 * 65536);
    for (std::uint32_t h = 0; h < 65536; ++h) {
        bytes[1 + 2 * h] = static_cast<std::byte>(h);
        bytes[2 + 2 * h] = static_cast<std::byte>(h >> 8);
    }
    return bytes;
}

TEST(half_widening_test, rule_widens_every_non_nan_exactly_and_quiets_every_nan) {
    for (std::uint32_t h = 0; h < 65536; ++h) {
        const std::uint32_t bits = half::widen_bits(static_cast<std::uint16_t>(h));
        const bool negative = (h & 0x8000) != 0;
        const std::uint32_t magnitude = h & 0x7FFF;
        ASSERT_EQ(bits >> 31, negative ? 1u : 0u) << std::hex << h;
        if (magnitude > 0x7C00) {
            ASSERT_EQ(bits & 0x7FC01FFFu, 0x7FC00000u) << std::hex << h;
            ASSERT_EQ((bits >> 13) & 0x3FFu, (magnitude & 0x3FFu) | 0x200u) << std::hex << h;
            continue;
        }
        // Value of a finite half: mantissa scaled by its exponent, computed in double.
        const std::uint32_t exponent = magnitude >> 10;
        const std::uint32_t mantissa = magnitude & 0x3FF;
        const double value = exponent == 0x1F ? std::numeric_limits<double>::infinity()
                             : exponent == 0  ? std::ldexp(mantissa, -24)
                                              : std::ldexp(1024 + mantissa, static_cast<int>(exponent) - 25);
        ASSERT_EQ(static_cast<double>(std::bit_cast<float>(bits)), negative ? -value : value) << std::hex << h;
    }
}

TEST(half_widening_test, row_by_rule_matches_the_rule_on_every_pattern) {
    const auto bytes = all_half_patterns();
    std::vector<float> out(65536);
    half::widen_row_by_rule(bytes.data() + 1, out.size(), out.data());
    for (std::uint32_t h = 0; h < 65536; ++h) {
        ASSERT_EQ(bits_of(out[h]), half::widen_bits(static_cast<std::uint16_t>(h))) << std::hex << h;
    }
}

#ifdef CORVID_HALF_INSTRUCTION
TEST(half_widening_test, instruction_matches_the_rule_on_every_pattern) {
    if (!half::instruction_available()) GTEST_SKIP() << "no F16C on this processor";
    const auto bytes = all_half_patterns();
    std::vector<float> out(65536);
    half::widen_row_by_instruction(bytes.data() + 1, out.size(), out.data());
    for (std::uint32_t h = 0; h < 65536; ++h) {
        const auto half_bits = static_cast<std::uint16_t>(h);
        const std::uint32_t expected = half::widen_bits(half_bits);
        ASSERT_EQ(bits_of(out[h]), expected) << "row, pattern 0x" << std::hex << h;
        ASSERT_EQ(bits_of(half::widen_by_instruction(half_bits)), expected) << "scalar, pattern 0x" << std::hex << h;
    }
}
#endif

}  // namespace
}  // namespace corvid
