// A batch of texts' token ids, embedded into consecutive rows.
#include "corvid_embed_native/id_batch.hpp"

#include <algorithm>
#include <cstring>

namespace corvid_embed {

std::optional<OutsideId> embed_batch(corvid::EmbeddingModel& model, const IdBatch& batch, std::byte* out) {
    const std::size_t columns = model.columns();
    // Rows are pooled in aligned floats and copied out, since the caller's
    // buffer may start anywhere.
    std::vector<float> row(columns);
    const std::size_t row_bytes = columns * sizeof(float);
    for (std::size_t text = 0; text < batch.texts(); ++text) {
        const std::span<const std::uint32_t> ids(batch.ids.data() + batch.offsets[text],
                                                 batch.offsets[text + 1] - batch.offsets[text]);
        // One vectorised pass decides for the common text, all of whose ids are inside.
        if (!ids.empty() && std::ranges::max(ids) >= model.rows()) {
            return OutsideId{text, *std::ranges::find_if(ids, [&](std::uint32_t id) { return id >= model.rows(); })};
        }
        model.embed_loaded(ids, row);
        if (row_bytes != 0) std::memcpy(out + text * row_bytes, row.data(), row_bytes);
    }
    return std::nullopt;
}

}  // namespace corvid_embed
