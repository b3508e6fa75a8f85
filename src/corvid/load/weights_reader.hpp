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

// Reads the length field and the header of the weights file at `path`, then
// only the bytes of its first usable tensor. Anything but a regular file is
// refused unread. Expected failures are LoadError values; a file too short
// for its header length or offsets outside the data section are internal
// failures (thrown). `stop` is asked before every chunk read (see StopCheck).
[[nodiscard]] std::expected<LoadedTensor, LoadError> load_tensor(
    const std::filesystem::path& path, StopCheck stop = {});

}  // namespace corvid
