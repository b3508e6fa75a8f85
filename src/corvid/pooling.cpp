// The float32 arithmetic of an embedding.
#include "corvid/pooling.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace corvid {

namespace {

// The float nearest to 1e-12: the floor of the norm a vector is divided by.
constexpr float norm_floor = 1e-12f;
static_assert(std::bit_cast<std::uint32_t>(norm_floor) == 0x2B8CBCCCu);

constexpr std::size_t block = 8;

}  // namespace

void add_row(std::span<float> accumulator, const float* row) noexcept {
    float* sum = accumulator.data();
    const std::size_t count = accumulator.size();
    std::size_t i = 0;
    for (; i + block <= count; i += block) {
        for (std::size_t j = 0; j < block; ++j) sum[i + j] += row[i + j];
    }
    for (; i < count; ++i) sum[i] += row[i];
}

void divide_by_count(std::span<float> values, float count) noexcept {
    for (float& value : values) value /= count;
}

void normalize_l2(std::span<float> values) noexcept {
    float squares = 0.0f;
    for (const float value : values) squares += value * value;
    const float norm = std::sqrt(squares);
    // A NaN norm fails the comparison and takes the floor too.
    const float divisor = norm > norm_floor ? norm : norm_floor;
    for (float& value : values) value /= divisor;
}

}  // namespace corvid
