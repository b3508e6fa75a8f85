// The token ids of pieces, kept within a budget of memory.
#include "corvid_embed_native/word_table.hpp"

namespace corvid_embed {

const std::vector<std::uint32_t>* WordTable::find(std::string_view piece) const {
    const auto found = entries_.find(piece);
    return found == entries_.end() ? nullptr : &found->second;
}

void WordTable::keep(std::string_view piece, std::span<const std::uint32_t> ids) {
    if (piece.size() > longest_kept || entries_.contains(piece)) return;
    const std::size_t added = cost(piece, ids.size());
    if (held_ + added > budget_) {
        entries_.clear();
        held_ = 0;
    }
    std::vector<std::uint32_t> kept(ids.begin(), ids.end());
    entries_.emplace(std::string(piece), std::move(kept));
    held_ += added;
}

}  // namespace corvid_embed
