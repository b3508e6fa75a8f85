// The header's description of one tensor.
#pragma once

#include <array>
#include <cstdint>

#include "corvid/load/data_type.hpp"

namespace corvid {

struct TensorDetails {
    DataType dtype;
    std::array<std::uint64_t, 2> shape;         // rows, columns
    std::array<std::uint64_t, 2> data_offsets;  // begin, end (exclusive) in the data section

    friend bool operator==(const TensorDetails&, const TensorDetails&) = default;
};

}  // namespace corvid
