// The float32 arithmetic of an embedding: row sums, the mean, L2 scaling.
//
// Every operation is single precision in a fixed order, so results are
// reproducible bit for bit; the build forbids FMA contraction and
// reassociation for the same reason.
#pragma once

#include <cstddef>
#include <span>

namespace corvid {

// accumulator[i] += row[i] for every i: one rounding per element, blocks of
// eight (for speed only) and a scalar tail.
void add_row(std::span<float> accumulator, const float* row) noexcept;

// add_row for each of `rows` in the order given. Every element receives the
// rows' values in that order, one rounding each, so the result is the same bit
// for bit; a group is summed in registers, column block by column block, which
// saves a store and a load of the accumulator per row.
void add_rows(std::span<float> accumulator, std::span<const float* const> rows) noexcept;

// values[i] /= count for every i: a true division, so 0 / 0 gives NaN.
void divide_by_count(std::span<float> values, float count) noexcept;

// Divides every value by max(L2 norm, 1e-12); the sum of squares runs in index
// order, each product and sum rounded to single precision.
void normalize_l2(std::span<float> values) noexcept;

// normalize_l2 of each `width`-wide row laid end to end in `rows`, bit for bit.
// The rows' sums of squares run side by side, eight rows at a time, so that
// their chains of dependent additions overlap; each is still in index order.
void normalize_l2_rows(std::span<float> rows, std::size_t width) noexcept;

}  // namespace corvid
