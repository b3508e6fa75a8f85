// Decoding of stored elements to 32-bit floats, one conversion per DataType.
#include "corvid/model/element_decoding.hpp"

#include <bit>
#include <cstdint>

#include "corvid/load/little_endian.hpp"
#include "corvid/model/half_widening.hpp"

namespace corvid {

namespace {

// The conversion of one element of `dtype`. The narrowing casts round to
// nearest even under the default floating-point environment; I64 converts
// directly, since going through double would round twice.
template <DataType dtype>
float decode_one(const std::byte* element) noexcept {
    if constexpr (dtype == DataType::F64) {
        return static_cast<float>(std::bit_cast<double>(load_little_endian<std::uint64_t>(element)));
    } else if constexpr (dtype == DataType::F32) {
        return std::bit_cast<float>(load_little_endian<std::uint32_t>(element));
    } else if constexpr (dtype == DataType::F16) {
        return half::widen(load_little_endian<std::uint16_t>(element));
    } else if constexpr (dtype == DataType::BF16) {
        std::uint32_t h = load_little_endian<std::uint16_t>(element);
        if ((h & 0x7FFFu) > 0x7F80u) h |= 0x0040u;  // quiet a NaN
        return std::bit_cast<float>(h << 16);
    } else if constexpr (dtype == DataType::I64) {
        return static_cast<float>(load_little_endian<std::int64_t>(element));
    } else if constexpr (dtype == DataType::I32) {
        return static_cast<float>(load_little_endian<std::int32_t>(element));
    } else if constexpr (dtype == DataType::I16) {
        return load_little_endian<std::int16_t>(element);
    } else if constexpr (dtype == DataType::I8) {
        return load_little_endian<std::int8_t>(element);
    } else {
        static_assert(dtype == DataType::U8 || dtype == DataType::BOOL);
        return load_little_endian<std::uint8_t>(element);
    }
}

// One loop per type, so the conversion is chosen once per row and the
// compiler can vectorise it.
template <DataType dtype>
void decode_each(const std::byte* row, std::size_t count, float* out) noexcept {
    constexpr std::size_t width = element_width(dtype);
    for (std::size_t i = 0; i < count; ++i) out[i] = decode_one<dtype>(row + i * width);
}

}  // namespace

float decode_element(DataType dtype, const std::byte* element) noexcept {
    switch (dtype) {
        case DataType::F64: return decode_one<DataType::F64>(element);
        case DataType::F32: return decode_one<DataType::F32>(element);
        case DataType::F16: return decode_one<DataType::F16>(element);
        case DataType::BF16: return decode_one<DataType::BF16>(element);
        case DataType::I64: return decode_one<DataType::I64>(element);
        case DataType::I32: return decode_one<DataType::I32>(element);
        case DataType::I16: return decode_one<DataType::I16>(element);
        case DataType::I8: return decode_one<DataType::I8>(element);
        case DataType::U8: return decode_one<DataType::U8>(element);
        case DataType::BOOL: return decode_one<DataType::BOOL>(element);
    }
    return 0.0f;
}

void decode_row(DataType dtype, const std::byte* row, std::size_t count, float* out) noexcept {
    switch (dtype) {
        case DataType::F64: return decode_each<DataType::F64>(row, count, out);
        case DataType::F32: return decode_each<DataType::F32>(row, count, out);
        case DataType::F16: return half::widen_row(row, count, out);
        case DataType::BF16: return decode_each<DataType::BF16>(row, count, out);
        case DataType::I64: return decode_each<DataType::I64>(row, count, out);
        case DataType::I32: return decode_each<DataType::I32>(row, count, out);
        case DataType::I16: return decode_each<DataType::I16>(row, count, out);
        case DataType::I8: return decode_each<DataType::I8>(row, count, out);
        case DataType::U8: return decode_each<DataType::U8>(row, count, out);
        case DataType::BOOL: return decode_each<DataType::BOOL>(row, count, out);
    }
}

}  // namespace corvid
