// The token ids of the space-separated pieces of texts, kept by the pieces'
// bytes within a budget of memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace corvid_embed {

// Pieces repeat across a corpus, so each is encoded once and its ids kept.
// The table holds at most about `budget` bytes: a piece that would pass it
// starts the table afresh, so memory stays bounded on corpora with an endless
// tail of rare pieces. Pieces longer than `longest_kept` bytes are never kept:
// words are short, and a long piece (text without spaces: Chinese, Japanese,
// URLs, base64) seldom comes again.
//
// A look-up is the hot step of embedding a text, about twenty a line, so the
// table is flat: open addressing over slots that hold each piece's hash and
// where its bytes and ids lie in two arenas, with no allocation per piece.
class WordTable {
public:
    static constexpr std::size_t longest_kept = 64;

    explicit WordTable(std::size_t budget);

    // The ids kept for `piece`, or none. Valid until the next keep().
    std::optional<std::span<const std::uint32_t>> find(std::string_view piece) const noexcept;

    // Keeps `ids` for `piece` unless it is too long or already kept. Throws
    // std::bad_alloc, and then holds nothing.
    void keep(std::string_view piece, std::span<const std::uint32_t> ids);

    // What the kept pieces cost: their bytes, their ids and their slots.
    std::size_t held_bytes() const noexcept;

private:
    struct Slot {
        std::uint64_t hash = 0;  // 0: empty; a kept piece's hash has its top bit set
        std::uint32_t key = 0;   // the piece's bytes: keys_[key, key + key_size)
        std::uint32_t key_size = 0;
        std::uint32_t ids = 0;  // its ids: ids_[ids, ids + id_count)
        std::uint32_t id_count = 0;
    };

    std::uint64_t hash(std::string_view piece) const noexcept;
    // The slot holding `piece` or the empty one where it would go.
    std::size_t probe(std::string_view piece, std::uint64_t hashed) const noexcept;
    void clear() noexcept;
    void grow();

    std::size_t budget_;
    std::uint64_t seed_;  // drawn per table, so that no corpus can be made to collide
    std::size_t size_ = 0;
    std::vector<Slot> slots_;  // a power of two, at most half full
    std::vector<char> keys_;
    std::vector<std::uint32_t> ids_;
};

}  // namespace corvid_embed
