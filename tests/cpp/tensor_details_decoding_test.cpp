// Decoding a header entry into a tensor description: both forms, every
// rejection, repeated names folded inside the entry.
#include "corvid/load/tensor_details_decoding.hpp"

#include <gtest/gtest.h>

#include <format>
#include <string>

#include "corvid/load/header_parser.hpp"

namespace corvid {
namespace {

// Decodes the JSON text `value` as the only entry of a header.
std::optional<TensorDetails> decode(std::string_view value) {
    const auto header = parse_header(std::format(R"({{"t":{}}})", value));
    if (!header) throw std::invalid_argument(header.error().describe());
    return choose_tensor(*header);
}

const TensorDetails f32_2x3{DataType::F32, {2, 3}, {0, 24}};

class decoding_accepts_test : public ::testing::TestWithParam<std::string> {};

TEST_P(decoding_accepts_test, as_f32_2x3_at_0_24) { EXPECT_EQ(decode(GetParam()), f32_2x3); }

INSTANTIATE_TEST_SUITE_P(
    forms, decoding_accepts_test,
    ::testing::Values(R"({"dtype":"F32","shape":[2,3],"data_offsets":[0,24]})",
                      R"(["F32",[2,3],[0,24]])",
                      R"({"data_offsets":[0,24],"extra":[1],"shape":[2,3],"dtype":{"F32":null}})",
                      R"([{"F32":null},[2,3],[0,24]])",
                      R"({"dtype":"Q4","shape":[2,3],"data_offsets":[0,24],"dtype":"F32"})",
                      R"({"dtype":{"F32":1,"F32":null},"shape":[2,3],"data_offsets":[0,24]})",
                      R"({"dtype":"F\u0033\u0032","shape":[2,3],"data_offsets":[0,24]})",
                      R"({"dtype":"F32","shape":[2,3],"shape":[2, 3],"data_offsets":[0,24]})"));

class decoding_rejects_test : public ::testing::TestWithParam<std::string> {};

TEST_P(decoding_rejects_test, without_a_word) { EXPECT_EQ(decode(GetParam()), std::nullopt); }

std::string with_dtype(std::string_view dtype) {
    return std::format(R"({{"dtype":{},"shape":[2,3],"data_offsets":[0,24]}})", dtype);
}

std::string with_shape(std::string_view shape) {
    return std::format(R"({{"dtype":"F32","shape":{},"data_offsets":[0,24]}})", shape);
}

INSTANTIATE_TEST_SUITE_P(
    values, decoding_rejects_test,
    ::testing::Values(
        with_dtype(R"("f32")"), with_dtype(R"("Q4")"), with_dtype(R"("F32\u0000")"), with_dtype("5"),
        with_dtype(R"(["F32"])"), with_dtype("{}"), with_dtype(R"({"F32":1})"),
        with_dtype(R"({"F32":null,"F16":null})"), with_dtype(R"({"F32":null,"F16":null,"F32":null})"),
        with_dtype(R"({"F32":null,"F32":1})"), with_dtype(R"({"f32":null})"), with_shape("[6]"),
        with_shape("[1,2,3]"), with_shape("[2.0,3]"), with_shape("[-1,3]"), with_shape("[-0,3]"),
        with_shape("[2,3e0]"), with_shape(R"(["2",3])"), with_shape("[2,18446744073709551616]"),
        with_shape("null"), R"({"dtype":"F32","shape":[2,3],"data_offsets":[0,18446744073709551616]})",
        R"({"shape":[2,3],"data_offsets":[0,24]})", R"({"dtype":"F32","data_offsets":[0,24]})",
        R"({"dtype":"F32","shape":[2,3]})", R"({"dtype":"F32","shape":[2,3],"data_offsets":[0,24],"shape":5})",
        R"({"Dtype":"F32","shape":[2,3],"data_offsets":[0,24]})",
        R"(["F32",[2,3]])", R"(["F32",[2,3],[0,24],[]])", R"([[2,3],"F32",[0,24]])", "null", R"("F32")", "5",
        "true", "[]"));

TEST(decoding_test, accepts_every_type_name_zero_elements_and_the_largest_offset) {
    for (std::size_t ordinal = 0; ordinal < data_type_count; ++ordinal) {
        const auto dtype = static_cast<DataType>(ordinal);
        const auto details =
            decode(std::format(R"(["{}",[0,0],[0,18446744073709551615]])", data_type_name(dtype)));
        EXPECT_EQ(details, (TensorDetails{dtype, {0, 0}, {0, UINT64_MAX}})) << data_type_name(dtype);
    }
}

}  // namespace
}  // namespace corvid
