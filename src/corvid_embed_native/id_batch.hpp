// A batch of texts' token ids, embedded into consecutive rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "corvid/model/embedding_model.hpp"

namespace corvid_embed {

// Texts' token ids end to end: text i's are ids[offsets[i], offsets[i + 1]).
struct IdBatch {
    std::vector<std::uint32_t> ids;
    std::vector<std::size_t> offsets{0};

    std::size_t texts() const noexcept { return offsets.size() - 1; }
    // Ends the text whose ids were appended since the last call.
    void end_text() { offsets.push_back(ids.size()); }
    void clear() noexcept {
        ids.clear();
        offsets.resize(1);
    }
};

// The first text with an id outside the table, and that id.
struct OutsideId {
    std::size_t text;
    std::uint32_t id;
};

// Embeds the texts of `batch` in order into consecutive float32 rows of `out`
// (model.columns() floats each, native byte order, any alignment), as
// model.embed_tokens would, and stops before the first text with an id at or
// past model.rows(): that text and those after it are not written. The model
// must be loaded. Throws std::bad_alloc only.
[[nodiscard]] std::optional<OutsideId> embed_batch(corvid::EmbeddingModel& model, const IdBatch& batch,
                                                   std::byte* out);

}  // namespace corvid_embed
