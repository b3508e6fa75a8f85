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
// where its record (its ids, then its bytes) lies in one arena, with no
// allocation per piece; and a text's pieces are looked up together, so that
// the cache misses of their slots and records overlap.
class WordTable {
public:
    static constexpr std::size_t longest_kept = 64;

    explicit WordTable(std::size_t budget);

    using Found = std::optional<std::span<const std::uint32_t>>;

    // The ids kept for `piece`, or none. Valid until the next keep().
    Found find(std::string_view piece) const noexcept;

    // find() of each piece, into `found`.
    void find_all(std::span<const std::string_view> pieces, std::vector<Found>& found);

    // Keeps `ids` for `piece` unless it is too long or already kept. Throws
    // std::bad_alloc, and then holds nothing.
    void keep(std::string_view piece, std::span<const std::uint32_t> ids);

    // What the kept pieces cost: their bytes, their ids and their slots.
    std::size_t held_bytes() const noexcept;

private:
    struct Slot {
        std::uint64_t hash = 0;  // 0: empty; a kept piece's hash has its top bit set
        std::uint32_t record = 0;  // records_[record...]: id_count ids, then key_size bytes
        std::uint16_t key_size = 0;
        std::uint16_t id_count = 0;
    };

    std::uint64_t hash(std::string_view piece) const noexcept;
    // The slot holding `piece` or the empty one where it would go.
    std::size_t probe(std::string_view piece, std::uint64_t hashed) const noexcept;
    Found found_at(std::size_t slot) const noexcept;
    void clear() noexcept;
    // Whether keeping one more piece doubles the slots (or makes the first).
    bool grows() const noexcept;
    void grow();

    std::size_t budget_;
    std::uint64_t seed_;  // drawn per table, so that no corpus can be made to collide
    std::size_t size_ = 0;
    std::vector<Slot> slots_;  // a power of two, at most half full
    std::vector<std::uint32_t> records_;
    std::vector<std::uint64_t> hashes_;  // find_all's, kept from call to call
};

}  // namespace corvid_embed
