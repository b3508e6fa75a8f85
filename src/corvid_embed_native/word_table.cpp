// The token ids of pieces, kept within a budget of memory.
#include "corvid_embed_native/word_table.hpp"

#include <cstring>
#include <random>
#include <utility>

namespace corvid_embed {

namespace {

constexpr std::uint64_t occupied = std::uint64_t{1} << 63;
constexpr std::size_t first_slots = 1024;

std::uint64_t mix(std::uint64_t value) noexcept {
    value ^= value >> 32;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 29;
    return value;
}

}  // namespace

WordTable::WordTable(std::size_t budget) : budget_(budget), seed_(std::random_device{}()) {}

std::uint64_t WordTable::hash(std::string_view piece) const noexcept {
    std::uint64_t state = seed_ ^ (piece.size() * 0x9e3779b97f4a7c15ULL);
    const char* bytes = piece.data();
    std::size_t left = piece.size();
    for (; left >= 8; bytes += 8, left -= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes, 8);
        state = mix(state ^ word);
    }
    std::uint64_t tail = 0;
    if (left != 0) std::memcpy(&tail, bytes, left);
    return mix(state ^ tail) | occupied;
}

std::size_t WordTable::probe(std::string_view piece, std::uint64_t hashed) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t index = hashed & mask;; index = (index + 1) & mask) {
        const Slot& slot = slots_[index];
        if (slot.hash == 0) return index;
        if (slot.hash == hashed && slot.key_size == piece.size() &&
            std::memcmp(keys_.data() + slot.key, piece.data(), piece.size()) == 0) {
            return index;
        }
    }
}

std::optional<std::span<const std::uint32_t>> WordTable::find(std::string_view piece) const noexcept {
    if (size_ == 0 || piece.size() > longest_kept) return std::nullopt;
    const Slot& slot = slots_[probe(piece, hash(piece))];
    if (slot.hash == 0) return std::nullopt;
    return std::span<const std::uint32_t>(ids_.data() + slot.ids, slot.id_count);
}

void WordTable::keep(std::string_view piece, std::span<const std::uint32_t> ids) {
    if (piece.size() > longest_kept || find(piece)) return;
    const std::size_t added = piece.size() + ids.size_bytes() + 2 * sizeof(Slot);
    // The arenas' offsets are 32-bit: a budget past that starts afresh too.
    if (held_bytes() + added > budget_ || keys_.size() + piece.size() > UINT32_MAX ||
        ids_.size() + ids.size() > UINT32_MAX) {
        clear();
    }
    try {
        if (2 * (size_ + 1) > slots_.size()) grow();
        const std::uint64_t hashed = hash(piece);
        Slot& slot = slots_[probe(piece, hashed)];
        const Slot kept{hashed, static_cast<std::uint32_t>(keys_.size()), static_cast<std::uint32_t>(piece.size()),
                        static_cast<std::uint32_t>(ids_.size()), static_cast<std::uint32_t>(ids.size())};
        keys_.insert(keys_.end(), piece.begin(), piece.end());
        ids_.insert(ids_.end(), ids.begin(), ids.end());
        slot = kept;
        ++size_;
    } catch (...) {
        clear();
        throw;
    }
}

std::size_t WordTable::held_bytes() const noexcept {
    return keys_.size() + ids_.size() * sizeof(std::uint32_t) + slots_.size() * sizeof(Slot);
}

void WordTable::clear() noexcept {
    size_ = 0;
    slots_.clear();
    keys_.clear();
    ids_.clear();
}

void WordTable::grow() {
    const std::size_t count = slots_.empty() ? first_slots : 2 * slots_.size();
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(count));
    for (const Slot& slot : old) {
        if (slot.hash == 0) continue;
        const std::size_t mask = slots_.size() - 1;
        std::size_t index = slot.hash & mask;
        while (slots_[index].hash != 0) index = (index + 1) & mask;
        slots_[index] = slot;
    }
}

}  // namespace corvid_embed
