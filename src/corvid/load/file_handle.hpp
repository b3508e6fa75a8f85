// A read-only regular file that closes itself; OS failures become LoadError
// values where they happen.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>

#include "corvid/load/byte_buffer.hpp"
#include "corvid/load/load_error.hpp"
#include "corvid/load/stop_check.hpp"

namespace corvid {

class FileHandle {
public:
    // How the handle reads at an offset: pread's signature, so that a test can
    // stand in for the system with interrupted and short reads.
    using ReadAt = ssize_t (*)(int descriptor, void* into, std::size_t size, off_t offset);

    // Opens `path` for reading without blocking (a FIFO does not wait for a
    // writer) and keeps it only if it is a regular file: anything else is
    // refused before a byte is read, a directory with the "is a directory"
    // IoFailure that reading it would give. The file's size is taken now.
    [[nodiscard]] static std::expected<FileHandle, LoadError> open_regular_file(
        const std::filesystem::path& path, ReadAt read_at = &::pread);

    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&&) = delete;
    ~FileHandle();

    // The size when the file was opened; nothing past it is ever read, so a
    // file that grows meanwhile is read as it was.
    std::uint64_t size() const noexcept { return size_; }

    // Fills `into` with the file's bytes from `offset` on, in chunks short
    // enough to read in a few milliseconds, asking `stop` before each one.
    // Interrupted and short reads are retried; an end of file before the
    // buffer is full means the file shrank.
    [[nodiscard]] std::expected<void, LoadError> read_exactly_at(ByteBuffer& into, std::uint64_t offset,
                                                                 StopCheck stop);

private:
    FileHandle(int descriptor, std::uint64_t size, ReadAt read_at) noexcept
        : descriptor_(descriptor), size_(size), read_at_(read_at) {}

    int descriptor_ = -1;
    std::uint64_t size_ = 0;
    ReadAt read_at_;
};

}  // namespace corvid
