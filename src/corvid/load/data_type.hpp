// The element types a weights table may be stored in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvid {

// Declaration order is the ordinal order; the header names each member by
// exactly its enumerator name.
enum class DataType : std::uint8_t { F64, F32, F16, BF16, I64, I32, I16, I8, U8, BOOL };

inline constexpr std::size_t data_type_count = 10;

// Byte width of one stored element (never 0).
constexpr std::size_t element_width(DataType dtype) noexcept {
    switch (dtype) {
        case DataType::F64:
        case DataType::I64:
            return 8;
        case DataType::F32:
        case DataType::I32:
            return 4;
        case DataType::F16:
        case DataType::BF16:
        case DataType::I16:
            return 2;
        case DataType::I8:
        case DataType::U8:
        case DataType::BOOL:
            return 1;
    }
    return 1;
}

// The header spelling of a member ("F32", "BF16", ...).
std::string_view data_type_name(DataType dtype) noexcept;

// The member spelled exactly `name` (case-sensitive), if any.
std::optional<DataType> data_type_from_name(std::string_view name) noexcept;

}  // namespace corvid
