// The cache of decoded rows.
#include "corvid/model/row_cache.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace corvid {
namespace {

TEST(row_cache_test, finds_nothing_before_an_insert) {
    const RowCache cache(4);
    EXPECT_EQ(cache.find(0), nullptr);
    EXPECT_EQ(cache.size(), 0u);
}

TEST(row_cache_test, keeps_every_row_in_place_across_growth) {
    constexpr std::size_t width = 3;
    RowCache cache(width);
    std::vector<const float*> rows;
    // Enough rows to span several chunks and table growths; the last id is the largest.
    const auto id_of = [](std::uint32_t n) { return n == 19999 ? 0xFFFFFFFFu : n << 12; };
    for (std::uint32_t n = 0; n < 20000; ++n) {
        const std::uint32_t id = id_of(n);
        float* row = cache.insert(id);
        for (std::size_t i = 0; i < width; ++i) row[i] = static_cast<float>(n) + static_cast<float>(i);
        rows.push_back(row);
    }
    EXPECT_EQ(cache.size(), 20000u);
    for (std::uint32_t n = 0; n < 20000; ++n) {
        const std::uint32_t id = id_of(n);
        ASSERT_EQ(cache.find(id), rows[n]) << "id " << id;
        EXPECT_EQ(rows[n][2], static_cast<float>(n) + 2.0f);
    }
    EXPECT_EQ(cache.find(1), nullptr);
}

}  // namespace
}  // namespace corvid
