// Decoded rows by token id.
#include "corvid/model/row_cache.hpp"

#include <algorithm>
#include <bit>

namespace corvid {

namespace {

constexpr std::size_t initial_slots = 64;
// About 64 KiB of floats per chunk: few allocations, little slack.
constexpr std::size_t floats_per_chunk = 16384;

}  // namespace

std::size_t RowCache::home_slot(std::uint32_t id) const noexcept {
    // Fibonacci hashing spreads consecutive ids over the table.
    const std::uint64_t hash = static_cast<std::uint64_t>(id) * 0x9E3779B97F4A7C15ull;
    const int bits = std::countr_zero(slots_.size());
    return static_cast<std::size_t>(hash >> (64 - bits));
}

const float* RowCache::find(std::uint32_t id) const noexcept {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = home_slot(id);; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.row == nullptr) return nullptr;
        if (slot.id == id) return slot.row;
    }
}

float* RowCache::allocate_row() {
    if (rows_left_in_chunk_ == 0) {
        rows_per_chunk_ = std::max<std::size_t>(1, floats_per_chunk / std::max<std::size_t>(1, row_width_));
        chunks_.reserve(chunks_.size() + 1);
        chunks_.push_back(std::make_unique_for_overwrite<float[]>(rows_per_chunk_ * row_width_));
        rows_left_in_chunk_ = rows_per_chunk_;
    }
    float* row = chunks_.back().get() + (rows_per_chunk_ - rows_left_in_chunk_) * row_width_;
    --rows_left_in_chunk_;
    return row;
}

void RowCache::grow_table() {
    std::vector<Slot> old(std::max(initial_slots, slots_.size() * 2));
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.row == nullptr) continue;
        std::size_t i = home_slot(slot.id);
        while (slots_[i].row != nullptr) i = (i + 1) & mask;
        slots_[i] = slot;
    }
}

float* RowCache::insert(std::uint32_t id) {
    if ((size_ + 1) * 2 > slots_.size()) grow_table();
    float* row = allocate_row();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = home_slot(id);
    while (slots_[i].row != nullptr) i = (i + 1) & mask;
    slots_[i] = Slot{id, row};
    ++size_;
    return row;
}

}  // namespace corvid
