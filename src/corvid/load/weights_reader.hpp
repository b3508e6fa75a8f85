// Reading model.safetensors: the chosen tensor's details and bytes.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>

#include "corvid/load/byte_buffer.hpp"
#include "corvid/load/load_error.hpp"
#include "corvid/load/stop_check.hpp"
#include "corvid/load/tensor_details.hpp"

namespace corvid {

// The first usable tensor's details, its bytes known to lie inside the data
// section of the file.
struct TableHeader {
    TensorDetails details;
    std::uint64_t data_start;  // the data section's offset in the file
};

// Why a weights file's header gives no table: an expected failure, or a file
// whose layout breaks the format's bounds (`broken`: too short for its header
// length, or the tensor's offsets outside the data section), which loading
// reports as an internal failure with the same message.
struct HeaderFailure {
    LoadError error;
    bool broken = false;
};

// Reads the length field and the header of the weights file at `path`, and
// no tensor bytes: what the table will be, for a caller that must know before
// loading it. Anything but a regular file is refused unread.
[[nodiscard]] std::expected<TableHeader, HeaderFailure> read_table_header(
    const std::filesystem::path& path, StopCheck stop = {});

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
