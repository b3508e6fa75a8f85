// Weights files built in memory for tests: length field, header, data.
#pragma once

#include <array>
#include <cstdint>
#include <format>
#include <string>
#include <string_view>

namespace corvid::test {

// The 8-byte little-endian header length field.
inline std::string length_field(std::uint64_t length) {
    std::string field(8, '\0');
    for (std::size_t i = 0; i < 8; ++i) field[i] = static_cast<char>((length >> (8 * i)) & 0xff);
    return field;
}

// A weights file whose header is exactly `header` and whose data section is `data`.
inline std::string safetensors_file(std::string_view header, std::string_view data = {}) {
    return length_field(header.size()) + std::string(header) + std::string(data);
}

// `{"dtype":"F32","shape":[2,3],"data_offsets":[0,24]}` for ("F32", {2, 3}, {0, 24}).
inline std::string tensor_entry(std::string_view dtype, std::array<std::uint64_t, 2> shape,
                                std::array<std::uint64_t, 2> data_offsets) {
    return std::format(R"({{"dtype":"{}","shape":[{},{}],"data_offsets":[{},{}]}})", dtype, shape[0], shape[1],
                       data_offsets[0], data_offsets[1]);
}

// A weights file holding one tensor, named "embeddings", whose bytes are all of `data`.
inline std::string single_tensor_file(std::string_view dtype, std::array<std::uint64_t, 2> shape,
                                      std::string_view data) {
    return safetensors_file(
        std::format(R"({{"embeddings":{}}})", tensor_entry(dtype, shape, {0, data.size()})), data);
}

}  // namespace corvid::test
