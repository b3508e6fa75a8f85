// Unaligned little-endian loads of stored integers.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstring>

namespace corvid {

// The integer stored little-endian at `bytes`, which may have any alignment.
// The memcpy compiles to a plain load, so loops over it still vectorise.
template <std::integral T>
[[nodiscard]] inline T load_little_endian(const std::byte* bytes) noexcept {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    return value;
}

}  // namespace corvid
