// The token ids of pieces, kept within a budget of memory.
#include "corvid_embed_native/word_table.hpp"

#include <algorithm>
#include <cstring>
#include <random>
#include <utility>

namespace corvid_embed {

namespace {

constexpr std::uint64_t occupied = std::uint64_t{1} << 63;
constexpr std::size_t first_slots = 16;

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
            (piece.empty() || std::memcmp(records_.data() + slot.record + slot.id_count, piece.data(), piece.size()) == 0)) {
            return index;
        }
    }
}

WordTable::Found WordTable::found_at(std::size_t slot) const noexcept {
    const Slot& kept = slots_[slot];
    if (kept.hash == 0) return std::nullopt;
    return std::span<const std::uint32_t>(records_.data() + kept.record, kept.id_count);
}

WordTable::Found WordTable::find(std::string_view piece) const noexcept {
    if (size_ == 0 || piece.size() > longest_kept) return std::nullopt;
    return found_at(probe(piece, hash(piece)));
}

void WordTable::find_all(std::span<const std::string_view> pieces, std::vector<Found>& found) {
    found.assign(pieces.size(), std::nullopt);
    if (size_ == 0) return;
    const std::size_t mask = slots_.size() - 1;
    hashes_.resize(pieces.size());
    // Each pass asks for the memory the next one reads: first the pieces'
    // home slots, then the records of the slots that may hold them.
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        hashes_[i] = pieces[i].size() > longest_kept ? 0 : hash(pieces[i]);
        if (hashes_[i] != 0) __builtin_prefetch(&slots_[hashes_[i] & mask]);
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (hashes_[i] == 0) continue;
        const Slot& home = slots_[hashes_[i] & mask];
        if (home.hash == hashes_[i]) __builtin_prefetch(records_.data() + home.record);
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (hashes_[i] != 0) found[i] = found_at(probe(pieces[i], hashes_[i]));
    }
}

void WordTable::keep(std::string_view piece, std::span<const std::uint32_t> ids) {
    if (piece.size() > longest_kept || ids.size() > UINT16_MAX || find(piece)) return;
    const std::size_t words = ids.size() + (piece.size() + sizeof(std::uint32_t) - 1) / sizeof(std::uint32_t);
    // The record, and the slots that doubling adds when the table is half full.
    const std::size_t added = words * sizeof(std::uint32_t) + (grows() ? std::max(slots_.size(), first_slots) * sizeof(Slot) : 0);
    // Records are found by 32-bit offsets: an arena past that starts afresh too.
    if (held_bytes() + added > budget_ || records_.size() + words > UINT32_MAX) clear();
    try {
        if (grows()) grow();
        const std::uint64_t hashed = hash(piece);
        Slot& slot = slots_[probe(piece, hashed)];
        const Slot kept{hashed, static_cast<std::uint32_t>(records_.size()), static_cast<std::uint16_t>(piece.size()),
                        static_cast<std::uint16_t>(ids.size())};
        records_.insert(records_.end(), ids.begin(), ids.end());
        const std::size_t key = records_.size();
        records_.resize(kept.record + words);
        if (!piece.empty()) std::memcpy(records_.data() + key, piece.data(), piece.size());
        slot = kept;
        ++size_;
    } catch (...) {
        clear();
        throw;
    }
}

std::size_t WordTable::held_bytes() const noexcept {
    return records_.size() * sizeof(std::uint32_t) + slots_.size() * sizeof(Slot);
}

void WordTable::clear() noexcept {
    size_ = 0;
    slots_.clear();
    records_.clear();
}

bool WordTable::grows() const noexcept { return 2 * (size_ + 1) > slots_.size(); }

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
