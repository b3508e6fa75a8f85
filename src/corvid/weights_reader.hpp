// Reading model.safetensors: the chosen tensor's details and bytes.
#pragma once

#include <expected>
#include <filesystem>

#include "corvid/byte_buffer.hpp"
#include "corvid/load_error.hpp"
#include "corvid/tensor_details.hpp"

namespace corvid {

struct LoadedTensor {
    TensorDetails details;
    ByteBuffer bytes;  // exactly the data_offsets range of the data section
};

// Reads the weights file at `path` and returns its first usable tensor.
// Expected failures are LoadError values; a file too short for its header
// length or offsets outside the data section are internal failures (thrown).
[[nodiscard]] std::expected<LoadedTensor, LoadError> load_tensor(const std::filesystem::path& path);

}  // namespace corvid
