// The float32 arithmetic of an embedding.
#include "corvid/model/pooling.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace corvid {

namespace {

// The float nearest to 1e-12: the floor of the norm a vector is divided by.
constexpr float norm_floor = 1e-12f;
static_assert(std::bit_cast<std::uint32_t>(norm_floor) == 0x2B8CBCCCu);

constexpr std::size_t block = 8;
// Column blocks kept in registers while a group of rows is added: four
// 8-float blocks fill four AVX or eight SSE registers.
constexpr std::size_t blocks_per_pass = 4;

// Eight floats added lane by lane: each lane is one IEEE single-precision
// addition, whatever the vector width the target compiles it to.
using Block = float __attribute__((vector_size(block * sizeof(float))));

// Unaligned; by reference, since a 32-byte vector passed by value would have
// a different ABI in the AVX clone than in the baseline.
inline void add_block(Block& sum, const float* values) noexcept {
    Block loaded;
    std::memcpy(&loaded, values, sizeof loaded);
    sum += loaded;
}

inline void load_block(Block& sum, const float* values) noexcept { std::memcpy(&sum, values, sizeof sum); }

inline void store_block(float* values, const Block& sum) noexcept { std::memcpy(values, &sum, sizeof sum); }

// Divides the values by max(sqrt(squares), 1e-12).
inline void divide_by_norm(std::span<float> values, float squares) noexcept {
    const float norm = std::sqrt(squares);
    // A NaN norm fails the comparison and takes the floor too.
    const float divisor = norm > norm_floor ? norm : norm_floor;
    for (float& value : values) value /= divisor;
}

}  // namespace

// Compiled twice: for AVX (one register per block) and for the baseline; the
// loader picks the version the processor runs. Both add in the same order.
[[gnu::target_clones("avx", "default")]]
void add_rows(std::span<float> accumulator, std::span<const float* const> rows) noexcept {
    float* sum = accumulator.data();
    const std::size_t count = accumulator.size();
    std::size_t i = 0;
    for (; i + block * blocks_per_pass <= count; i += block * blocks_per_pass) {
        Block partial[blocks_per_pass];
        for (std::size_t b = 0; b < blocks_per_pass; ++b) load_block(partial[b], sum + i + b * block);
        for (const float* row : rows) {
            for (std::size_t b = 0; b < blocks_per_pass; ++b) add_block(partial[b], row + i + b * block);
        }
        for (std::size_t b = 0; b < blocks_per_pass; ++b) store_block(sum + i + b * block, partial[b]);
    }
    for (; i + block <= count; i += block) {
        Block partial;
        load_block(partial, sum + i);
        for (const float* row : rows) add_block(partial, row + i);
        store_block(sum + i, partial);
    }
    for (; i < count; ++i) {
        float partial = sum[i];
        for (const float* row : rows) partial += row[i];
        sum[i] = partial;
    }
}

void add_row(std::span<float> accumulator, const float* row) noexcept {
    add_rows(accumulator, std::span<const float* const>(&row, 1));
}

// The divisions vectorise; AVX halves their count. The sum of squares is one
// chain of dependent additions in any version.
[[gnu::target_clones("avx", "default")]]
void divide_by_count(std::span<float> values, float count) noexcept {
    for (float& value : values) value /= count;
}

[[gnu::target_clones("avx", "default")]]
void normalize_l2(std::span<float> values) noexcept {
    float squares = 0.0f;
    for (const float value : values) squares += value * value;
    divide_by_norm(values, squares);
}

[[gnu::target_clones("avx", "default")]]
void normalize_l2_rows(std::span<float> rows, std::size_t width) noexcept {
    const std::size_t count = width == 0 ? 0 : rows.size() / width;
    std::size_t first = 0;
    for (; first + block <= count; first += block) {
        // Lane k holds row first + k: one IEEE product and sum per lane and column.
        Block squares = {};
        for (std::size_t i = 0; i < width; ++i) {
            Block column;
            for (std::size_t k = 0; k < block; ++k) column[k] = rows[(first + k) * width + i];
            squares += column * column;
        }
        for (std::size_t k = 0; k < block; ++k) divide_by_norm(rows.subspan((first + k) * width, width), squares[k]);
    }
    for (; first < count; ++first) normalize_l2(rows.subspan(first * width, width));
}

}  // namespace corvid
