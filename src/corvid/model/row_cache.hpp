// Decoded rows by token id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace corvid {

// Maps token ids to decoded rows of one fixed width. Rows live in chunks that
// never move, so a row pointer stays valid for the cache's life; ids find
// their rows through an open-addressing table. Nothing is ever evicted.
class RowCache {
public:
    explicit RowCache(std::size_t row_width = 0) noexcept : row_width_(row_width) {}

    // The row cached for `id`, or null.
    const float* find(std::uint32_t id) const noexcept;

    // Room for the row of `id` (not yet cached), to be filled by the caller.
    // Throws std::bad_alloc and then leaves the cache as it was.
    float* insert(std::uint32_t id);

    std::size_t size() const noexcept { return size_; }

    // Number of slots in the id table: 0 before the first insert, then a power
    // of two at least twice size().
    std::size_t slot_count() const noexcept { return slots_.size(); }

    // The slot where the search for `id` starts, below slot_count(), which
    // must not be 0. Ids that share it are probed in turn from there.
    std::size_t home_slot(std::uint32_t id) const noexcept;

private:
    struct Slot {
        std::uint32_t id = 0;
        float* row = nullptr;  // null: empty slot
    };

    float* allocate_row();
    void grow_table();

    std::size_t row_width_;
    std::size_t size_ = 0;
    std::vector<Slot> slots_;  // power-of-two size, at most half full
    std::vector<std::unique_ptr<float[]>> chunks_;
    std::size_t rows_per_chunk_ = 0;
    std::size_t rows_left_in_chunk_ = 0;
};

}  // namespace corvid
