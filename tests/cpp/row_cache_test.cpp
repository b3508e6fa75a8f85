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

TEST(row_cache_test, finds_ids_that_share_a_home_slot_across_the_end_of_the_table) {
    RowCache cache(1);
    *cache.insert(0) = -1.0f;  // gives the table its size; id 0 sits in slot 0
    const std::size_t slots = cache.slot_count();
    // Ids whose search starts in the last slot, so that their run of probes
    // wraps round and passes id 0: as many as fit before the table grows,
    // plus one left absent.
    std::vector<std::uint32_t> ids;
    for (std::uint32_t id = 1; ids.size() < slots / 2; ++id) {
        if (cache.home_slot(id) == slots - 1) ids.push_back(id);
    }
    const std::uint32_t absent = ids.back();
    ids.pop_back();
    for (std::size_t n = 0; n < ids.size(); ++n) *cache.insert(ids[n]) = static_cast<float>(n);
    ASSERT_EQ(cache.slot_count(), slots) << "the table grew, so the ids no longer collide";

    const auto expect_every_row = [&] {
        for (std::size_t n = 0; n < ids.size(); ++n) {
            const float* row = cache.find(ids[n]);
            ASSERT_NE(row, nullptr) << "id " << ids[n];
            EXPECT_EQ(*row, static_cast<float>(n));
        }
        EXPECT_EQ(*cache.find(0), -1.0f);
    };
    expect_every_row();
    EXPECT_EQ(cache.find(absent), nullptr);
    EXPECT_EQ(cache.size(), ids.size() + 1);

    // One more row grows the table. The ids' new home slots are its last two,
    // so moving them there wraps round its end as well.
    *cache.insert(absent) = -2.0f;
    ASSERT_EQ(cache.slot_count(), 2 * slots);
    expect_every_row();
    EXPECT_EQ(*cache.find(absent), -2.0f);
}

// A table allowed to fill up sends the search for an absent id round it for
// ever; the test timeout set in CMake turns that into a failure.
TEST(row_cache_test, misses_absent_ids_at_every_size) {
    RowCache cache(1);
    for (std::uint32_t n = 0; n < 300; ++n) {
        *cache.insert(2 * n) = 0.0f;
        for (const std::uint32_t absent : {2 * n + 1, 0xFFFFFFFFu}) {
            ASSERT_EQ(cache.find(absent), nullptr)
                << "id " << absent << " with " << n + 1 << " rows";
        }
    }
}

}  // namespace
}  // namespace corvid
