// Decoding of stored elements to 32-bit floats.
#pragma once

#include <cstddef>

#include "corvid/load/data_type.hpp"

namespace corvid {

// One little-endian element of `dtype` at `element` (any alignment).
[[nodiscard]] float decode_element(DataType dtype, const std::byte* element) noexcept;

// Decodes `count` consecutive elements of `dtype` from `row` (any alignment)
// into `out[0..count)`. The row holds exactly count * element_width(dtype) bytes.
void decode_row(DataType dtype, const std::byte* row, std::size_t count, float* out) noexcept;

}  // namespace corvid
