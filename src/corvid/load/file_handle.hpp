// A read-only file that closes itself; OS failures become LoadError values
// where they happen.
#pragma once

#include <expected>
#include <cstddef>
#include <filesystem>
#include <span>

#include "corvid/load/byte_buffer.hpp"
#include "corvid/load/load_error.hpp"

namespace corvid {

class FileHandle {
public:
    // Opens `path` for reading only.
    [[nodiscard]] static std::expected<FileHandle, LoadError> open_for_reading(
        const std::filesystem::path& path);

    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&&) = delete;
    ~FileHandle();

    // Reads from the start of a freshly opened file until a read reports its
    // end. A regular file's buffer is sized from its length up front; anything
    // else (a pipe, a device) grows the buffer as bytes arrive. A buffer that
    // cannot be had is the "out of memory" IoFailure.
    [[nodiscard]] std::expected<ByteBuffer, LoadError> read_to_end();

private:
    explicit FileHandle(int descriptor) noexcept : descriptor_(descriptor) {}

    // Reads once into `into`, retrying interrupted reads; 0 means end of file.
    [[nodiscard]] std::expected<std::size_t, LoadError> read_some(std::span<std::byte> into);

    int descriptor_ = -1;
};

}  // namespace corvid
