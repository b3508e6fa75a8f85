// The state behind one StaticEmbedding: directory, flag, lazily loaded tensor
// and the cache of decoded rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvid/tensor_details.hpp"

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

class EmbeddingModel {
public:
    // Checks that the weights file exists and records the arguments; reads
    // nothing. A missing file (whatever the cause) is a ModelPathError.
    [[nodiscard]] static std::expected<EmbeddingModel, ModelPathError> create(
        std::string model_dir, bool normalize);

    const std::string& model_dir() const noexcept { return model_dir_; }
    bool normalize() const noexcept { return normalize_; }
    bool is_loaded() const noexcept { return tensor_details_.has_value(); }

private:
    EmbeddingModel(std::string model_dir, bool normalize)
        : model_dir_(std::move(model_dir)), normalize_(normalize) {}

    std::string model_dir_;
    bool normalize_;
    std::optional<TensorDetails> tensor_details_;
};

}  // namespace corvid
