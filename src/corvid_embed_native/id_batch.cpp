// A batch of texts' token ids, embedded into consecutive rows.
#include "corvid_embed_native/id_batch.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "corvid/model/pooling.hpp"

namespace corvid_embed {

namespace {

// Rows whose norms are taken together.
constexpr std::size_t rows_per_group = 8;

}  // namespace

std::optional<OutsideId> embed_batch(corvid::EmbeddingModel& model, const IdBatch& batch, std::byte* out) {
    const std::size_t columns = model.columns();
    const std::size_t row_bytes = columns * sizeof(float);
    // Rows are pooled a group at a time, so that their norms are taken
    // together: in place when the caller's buffer is aligned for floats (the
    // buffer is raw storage for them), else in a scratch group copied out.
    const bool in_place = reinterpret_cast<std::uintptr_t>(out) % alignof(float) == 0;
    std::vector<float> scratch(in_place ? 0 : rows_per_group * columns);
    std::optional<OutsideId> outside;
    for (std::size_t first = 0; first < batch.texts() && !outside; first += rows_per_group) {
        float* group = in_place ? reinterpret_cast<float*>(out + first * row_bytes) : scratch.data();
        std::size_t pooled = 0;
        for (; pooled < rows_per_group && first + pooled < batch.texts(); ++pooled) {
            const std::size_t text = first + pooled;
            const std::span<const std::uint32_t> ids(batch.ids.data() + batch.offsets[text],
                                                     batch.offsets[text + 1] - batch.offsets[text]);
            // One vectorised pass decides for the common text, all of whose ids are inside.
            if (!ids.empty() && std::ranges::max(ids) >= model.rows()) {
                outside = OutsideId{text, *std::ranges::find_if(ids, [&](std::uint32_t id) { return id >= model.rows(); })};
                break;
            }
            model.mean_loaded(ids, std::span(group + pooled * columns, columns));
        }
        const std::span<float> rows(group, pooled * columns);
        if (model.normalize()) corvid::normalize_l2_rows(rows, columns);
        if (!in_place && !rows.empty()) std::memcpy(out + first * row_bytes, rows.data(), rows.size_bytes());
    }
    return outside;
}

}  // namespace corvid_embed
