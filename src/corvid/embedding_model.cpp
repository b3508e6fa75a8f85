// Construction of the embedding model.
#include "corvid/embedding_model.hpp"

#include <sys/stat.h>

namespace corvid {

namespace {

constexpr std::string_view weights_file_name = "model.safetensors";
constexpr std::string_view missing_weights_message =
    "Could not find `model.safetensors` in the specified directory";

// Attribute query that follows symbolic links; any failure counts as missing.
bool path_exists(std::string_view model_dir, const std::filesystem::path& path) {
    // The OS sees paths as NUL-terminated strings: a directory text with an
    // interior NUL would be cut short there and test a different path.
    if (model_dir.find('\0') != std::string_view::npos) return false;
    struct stat attributes{};
    return ::stat(path.c_str(), &attributes) == 0;
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

std::expected<EmbeddingModel, ModelPathError> EmbeddingModel::create(std::string model_dir,
                                                                     bool normalize) {
    if (!path_exists(model_dir, weights_file_path(model_dir))) {
        return std::unexpected(
            ModelPathError(std::move(model_dir), std::string(missing_weights_message)));
    }
    return EmbeddingModel(std::move(model_dir), normalize);
}

}  // namespace corvid
