// Header spellings of the element types.
#include "corvid/load/data_type.hpp"

#include <array>

namespace corvid {

namespace {

constexpr std::array<std::string_view, data_type_count> names = {
    "F64", "F32", "F16", "BF16", "I64", "I32", "I16", "I8", "U8", "BOOL",
};

}  // namespace

std::string_view data_type_name(DataType dtype) noexcept {
    return names[static_cast<std::size_t>(dtype)];
}

std::optional<DataType> data_type_from_name(std::string_view name) noexcept {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) return static_cast<DataType>(i);
    }
    return std::nullopt;
}

}  // namespace corvid
