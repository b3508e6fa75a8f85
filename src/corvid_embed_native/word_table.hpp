// The token ids of the space-separated pieces of texts, kept by the pieces'
// bytes within a budget of memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace corvid_embed {

// Pieces repeat across a corpus, so each is encoded once and its ids kept.
// The table holds at most about `budget` bytes: a piece that would pass it
// starts the table afresh, so memory stays bounded on corpora with an endless
// tail of rare pieces. Pieces longer than `longest_kept` bytes are never kept:
// words are short, and a long piece (text without spaces: Chinese, Japanese,
// URLs, base64) seldom comes again.
class WordTable {
public:
    static constexpr std::size_t longest_kept = 64;

    explicit WordTable(std::size_t budget) noexcept : budget_(budget) {}

    // The ids kept for `piece`, or null. Valid until the next keep().
    const std::vector<std::uint32_t>* find(std::string_view piece) const;

    // Keeps `ids` for `piece` unless it is too long or already kept. Throws
    // std::bad_alloc, leaving the table consistent.
    void keep(std::string_view piece, std::span<const std::uint32_t> ids);

    // What keeping a piece costs, about: its bytes, its ids, and the
    // bookkeeping of a hash table node, a string and a vector.
    static std::size_t cost(std::string_view piece, std::size_t id_count) noexcept {
        return 96 + piece.size() + id_count * sizeof(std::uint32_t);
    }

    std::size_t held_bytes() const noexcept { return held_; }
    std::size_t size() const noexcept { return entries_.size(); }

private:
    struct PieceHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view piece) const noexcept {
            return std::hash<std::string_view>{}(piece);
        }
    };

    std::size_t budget_;
    std::size_t held_ = 0;
    std::unordered_map<std::string, std::vector<std::uint32_t>, PieceHash, std::equal_to<>> entries_;
};

}  // namespace corvid_embed
