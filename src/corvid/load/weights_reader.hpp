// Reading model.safetensors: the chosen tensor's details and bytes.
#pragma once

#include <expected>
#include <filesystem>

#include "corvid/load/byte_buffer.hpp"
#include "corvid/load/load_error.hpp"
#include "corvid/load/stop_check.hpp"
#include "corvid/load/tensor_details.hpp"

namespace corvid {

struct LoadedTensor {
    TensorDetails details;
    ByteBuffer bytes;  // exactly the data_offsets range of the data section
};

// Reads the weights file at `path` and returns its first usable tensor.
// Expected failures are LoadError values; a file too short for its header
// length or offsets outside the data section are internal failures (thrown).
// `stop` is polled while reading (see StopCheck).
[[nodiscard]] std::expected<LoadedTensor, LoadError> load_tensor(
    const std::filesystem::path& path, StopCheck stop = {});

}  // namespace corvid
