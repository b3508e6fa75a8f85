// The state behind one StaticEmbedding: directory, flag, lazily loaded tensor
// and the cache of decoded rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "corvid/load/byte_buffer.hpp"
#include "corvid/load/load_error.hpp"
#include "corvid/load/stop_check.hpp"
#include "corvid/load/tensor_details.hpp"
#include "corvid/model/row_cache.hpp"

namespace corvid {

// The constructor's error value: the directory as given plus a message.
class ModelPathError {
public:
    ModelPathError(std::string directory, std::string message)
        : directory_(std::move(directory)), message_(std::move(message)) {}

    const std::string& directory() const noexcept { return directory_; }
    const std::string& message() const noexcept { return message_; }

    // "Invalid model or path to load the model: {directory}.\n{message}"
    std::string render() const;

private:
    std::string directory_;
    std::string message_;
};

// `model_dir` joined with "model.safetensors" by the platform's rules.
std::filesystem::path weights_file_path(std::string_view model_dir);

// How many ids have their whole row inside a tensor of `tensor_length` bytes
// described by `details`: the ids an embedding accepts, whatever the shape
// claims. Every id, for rows of no bytes.
[[nodiscard]] std::uint64_t rows_inside(const TensorDetails& details, std::uint64_t tensor_length) noexcept;

class EmbeddingModel {
public:
    // Checks that the weights file exists and records the arguments, the file's
    // path made absolute against the working directory; reads nothing. A
    // missing file (whatever the cause) is a ModelPathError.
    [[nodiscard]] static std::expected<EmbeddingModel, ModelPathError> create(
        std::string model_dir, bool normalize);

    // Loads the tensor on first use, then returns the mean of the ids' rows in
    // order (NaN everywhere for no ids), L2-normalised when the flag is set.
    // An id whose row lies outside the tensor is an internal failure; rows
    // decoded before it stay cached.
    // `stop` is polled during the load (see StopCheck).
    [[nodiscard]] std::expected<std::vector<float>, LoadError> embed_tokens(
        std::span<const std::uint32_t> ids, StopCheck stop = {});

    // The mean of the ids' rows of a loaded model into `out`, columns() wide,
    // for ids that are all below rows(): embed_tokens without the
    // normalisation, for a caller that normalises many rows at once
    // (normalize_l2_rows). Throws std::bad_alloc only, when a decoded row
    // cannot be cached.
    void mean_loaded(std::span<const std::uint32_t> ids, std::span<float> out);

    // Reads the weights file unless a tensor is held. A failure stores nothing,
    // so the next call tries again.
    [[nodiscard]] std::expected<void, LoadError> ensure_loaded(StopCheck stop = {});

    const std::string& model_dir() const noexcept { return model_dir_; }
    bool normalize() const noexcept { return normalize_; }
    bool is_loaded() const noexcept { return tensor_details_.has_value(); }
    const RowCache& row_cache() const noexcept { return row_cache_; }
    // Of a loaded model: the ids below rows() embed; each row is columns() wide.
    std::uint64_t rows() const noexcept { return rows_in_bytes_; }
    std::size_t columns() const noexcept { return row_width_; }

private:
    EmbeddingModel(std::string model_dir, std::filesystem::path weights_path, bool normalize)
        : model_dir_(std::move(model_dir)),
          weights_path_(std::move(weights_path)),
          normalize_(normalize) {}

    // Returns when every id's row lies inside the tensor; otherwise caches the
    // rows before the first id outside and fails on it, as the sum would.
    void check_rows(std::span<const std::uint32_t> ids);

    // The decoded row of `id`: cached, decoded now, or read in place when the
    // stored elements are already 32-bit floats.
    const float* row(std::uint32_t id);

    // The stored bytes of row `id`, checked against the tensor's length.
    const std::byte* stored_row(std::uint32_t id) const;

    std::string model_dir_;  // as given: messages show it
    // The weights file, made absolute at construction; the load reads this.
    std::filesystem::path weights_path_;
    bool normalize_;
    ByteBuffer tensor_bytes_;
    std::optional<TensorDetails> tensor_details_;
    RowCache row_cache_;
    std::size_t row_width_ = 0;  // the second element of shape
    std::size_t row_bytes_ = 0;  // meaningful for ids below rows_in_bytes_
    // Ids below this have their whole row inside tensor_bytes_.
    std::uint64_t rows_in_bytes_ = 0;
    // Stored F32 rows at float alignment decode to themselves and are read in
    // place: the tensor is its own cache, and a fully used table costs no
    // second copy.
    bool rows_in_place_ = false;
};

}  // namespace corvid
