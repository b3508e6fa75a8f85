// The embedding model: construction, the lazy load and the embedding.
#include "corvid/model/embedding_model.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <system_error>

#include "corvid/load/slice_range.hpp"
#include "corvid/load/weights_reader.hpp"
#include "corvid/model/element_decoding.hpp"
#include "corvid/model/pooling.hpp"

namespace corvid {

namespace {

constexpr std::string_view weights_file_name = "model.safetensors";
constexpr std::string_view missing_weights_message =
    "Could not find `model.safetensors` in the specified directory";

// Attribute query that follows symbolic links; any failure counts as missing.
bool path_exists(const std::filesystem::path& path) {
    // The OS sees paths as NUL-terminated strings: a directory text with an
    // interior NUL would be cut short there and test a different path.
    if (path.native().find('\0') != std::string::npos) return false;
    struct stat attributes{};
    return ::stat(path.c_str(), &attributes) == 0;
}

// The weights file path against today's working directory, lexically (links
// stay unresolved); none when the working directory cannot be learnt.
std::optional<std::filesystem::path> absolute_weights_path(std::string_view model_dir) {
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(weights_file_path(model_dir), error);
    if (error) return std::nullopt;
    return path;
}

__extension__ using uint128 = unsigned __int128;

constexpr std::size_t rows_per_group = 8;
constexpr std::size_t cache_line = 64;
// Past this, the processor's own prefetcher has caught on to the row;
// asking for more only crowds the first-level cache.
constexpr std::size_t prefetch_limit = 1024;

// Asks for the first cache lines (up to 1 KiB) of a row about to be read.
void prefetch_row(const float* row, std::size_t width) noexcept {
    const auto* bytes = reinterpret_cast<const char*>(row);
    const std::size_t length = std::min(width * sizeof(float), prefetch_limit);
    for (std::size_t offset = 0; offset < length; offset += cache_line) __builtin_prefetch(bytes + offset);
}

// A zero-filled accumulator; a width beyond any allocation is out of memory,
// not a length error.
std::vector<float> zeroed_floats(std::uint64_t count) {
    if (count > std::vector<float>().max_size()) throw std::bad_alloc();
    return std::vector<float>(static_cast<std::size_t>(count), 0.0f);
}

}  // namespace

std::string ModelPathError::render() const {
    std::string text = "Invalid model or path to load the model: ";
    text += directory_;
    text += ".\n";
    text += message_;
    return text;
}

std::filesystem::path weights_file_path(std::string_view model_dir) {
    return std::filesystem::path(model_dir) / weights_file_name;
}

std::uint64_t rows_inside(const TensorDetails& details, std::uint64_t tensor_length) noexcept {
    const uint128 row_bytes = uint128{element_width(details.dtype)} * details.shape[1];
    if (row_bytes == 0) return UINT64_MAX;
    return static_cast<std::uint64_t>(tensor_length / row_bytes);
}

std::expected<EmbeddingModel, ModelPathError> EmbeddingModel::create(std::string model_dir,
                                                                     bool normalize) {
    // Fixed now, so that a later change of working directory cannot make the
    // load read another file than the one this check found.
    std::optional<std::filesystem::path> path = absolute_weights_path(model_dir);
    if (!path || !path_exists(*path)) {
        return std::unexpected(
            ModelPathError(std::move(model_dir), std::string(missing_weights_message)));
    }
    return EmbeddingModel(std::move(model_dir), std::move(*path), normalize);
}

std::expected<void, LoadError> EmbeddingModel::ensure_loaded(StopCheck stop) {
    if (tensor_details_) return {};
    auto loaded = load_tensor(weights_path_, stop);
    if (!loaded) return std::unexpected(std::move(loaded.error()));
    static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "row widths are 64-bit");
    const TensorDetails& details = loaded->details;
    row_width_ = details.shape[1];
    row_cache_ = RowCache(row_width_);
    rows_in_bytes_ = rows_inside(details, loaded->bytes.size());
    // Only rows inside the tensor are ever addressed, so their length fits a size.
    if (rows_in_bytes_ != 0) row_bytes_ = element_width(details.dtype) * row_width_;
    // Every F32 row has the alignment of the first, row lengths being whole floats.
    rows_in_place_ = details.dtype == DataType::F32 &&
                     reinterpret_cast<std::uintptr_t>(loaded->bytes.data()) % alignof(float) == 0;
    tensor_bytes_ = std::move(loaded->bytes);
    tensor_details_ = details;
    return {};
}

const std::byte* EmbeddingModel::stored_row(std::uint32_t id) const {
    if (id < rows_in_bytes_) return tensor_bytes_.data() + std::size_t{id} * row_bytes_;
    // Any other row ends past the tensor; only the message is left to choose.
    // 128-bit arithmetic: start and end are exact, so an id can never wrap
    // around to a row that lies inside the tensor.
    const uint128 row_bytes = uint128{element_width(tensor_details_->dtype)} * tensor_details_->shape[1];
    const uint128 start = uint128{id} * row_bytes;
    const uint128 end = start + row_bytes;
    fail_slice_out_of_range(start, end, tensor_bytes_.size());
}

void EmbeddingModel::check_rows(std::span<const std::uint32_t> ids) {
    // One vectorised pass over the ids decides for all of them.
    if (ids.empty() || std::ranges::max(ids) < rows_in_bytes_) return;
    // Some row lies outside: go through the ids as the sum would, so that the
    // rows before the first such id are cached and that id fails as usual.
    for (const std::uint32_t id : ids) row(id);
}

const float* EmbeddingModel::row(std::uint32_t id) {
    if (rows_in_place_) return reinterpret_cast<const float*>(stored_row(id));
    if (const float* cached = row_cache_.find(id)) return cached;
    const std::byte* stored = stored_row(id);
    float* decoded = row_cache_.insert(id);
    decode_row(tensor_details_->dtype, stored, row_width_, decoded);
    return decoded;
}

std::expected<std::vector<float>, LoadError> EmbeddingModel::embed_tokens(
    std::span<const std::uint32_t> ids, StopCheck stop) {
    if (auto loaded = ensure_loaded(stop); !loaded) return std::unexpected(std::move(loaded.error()));
    // Before the accumulator: a header may declare a row width that no tensor
    // holds, and the call must fail on its ids, not zero-fill that width.
    check_rows(ids);
    std::vector<float> sum = zeroed_floats(tensor_details_->shape[1]);
    mean_loaded(ids, sum);
    if (normalize_ && !sum.empty()) normalize_l2(sum);
    return sum;
}

void EmbeddingModel::mean_loaded(std::span<const std::uint32_t> ids, std::span<float> out) {
    std::ranges::fill(out, 0.0f);
    const auto count = static_cast<float>(ids.size());
    // Rows are found a group at a time, in list order, and their memory is
    // requested before the group is summed, so that the cache misses of
    // scattered rows overlap instead of queueing one behind the other.
    std::array<const float*, rows_per_group> group;
    std::size_t grouped = 0;
    for (const std::uint32_t id : ids) {
        const float* found = row(id);
        prefetch_row(found, row_width_);
        group[grouped++] = found;
        if (grouped == rows_per_group) {
            add_rows(out, group);
            grouped = 0;
        }
    }
    add_rows(out, std::span(group).first(grouped));
    divide_by_count(out, count);
}

}  // namespace corvid
