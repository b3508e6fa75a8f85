// A read-only file that closes itself.
#include "corvid/load/file_handle.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace corvid {

namespace {

// One read asks for at most this much: below SSIZE_MAX and Linux's own cap.
constexpr std::size_t max_read_size = std::size_t{1} << 30;
// Bytes read past a full buffer before growing it, so that a file of exactly
// the expected length is never reallocated.
constexpr std::size_t probe_size = 4096;
constexpr std::size_t min_capacity = 64 * 1024;

static_assert(sizeof(off_t) <= sizeof(std::size_t), "a regular file's length must fit in memory sizes");

std::expected<ByteBuffer, LoadError> allocate(std::size_t size) {
    try {
        return ByteBuffer::allocate(size);
    } catch (const std::bad_alloc&) {
        return std::unexpected(io_failure_out_of_memory());
    }
}

// A buffer that holds the first `filled` bytes of `buffer` and room for at
// least `extra` more; doubling keeps the copies linear in the file length.
std::expected<ByteBuffer, LoadError> grow(const ByteBuffer& buffer, std::size_t filled, std::size_t extra) {
    const std::size_t wanted = std::max({filled, extra, min_capacity});
    if (wanted > std::numeric_limits<std::size_t>::max() - filled) {
        return std::unexpected(io_failure_out_of_memory());
    }
    auto grown = allocate(filled + wanted);
    if (grown && filled != 0) std::memcpy(grown->data(), buffer.data(), filled);
    return grown;
}

}  // namespace

std::expected<FileHandle, LoadError> FileHandle::open_for_reading(const std::filesystem::path& path) {
    // The OS would cut the path at an interior NUL and open another file.
    if (path.native().find('\0') != std::string::npos) return std::unexpected(io_failure(EINVAL));
    int descriptor;
    do {
        descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) return std::unexpected(io_failure(errno));
    return FileHandle(descriptor);
}

FileHandle::FileHandle(FileHandle&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

FileHandle::~FileHandle() {
    // Nothing was written, so a failing close loses nothing; on Linux the
    // descriptor is gone even then, so an interrupted close is not retried.
    if (descriptor_ >= 0) (void)::close(descriptor_);
}

std::expected<std::size_t, LoadError> FileHandle::read_some(std::span<std::byte> into) {
    ssize_t count;
    do {
        count = ::read(descriptor_, into.data(), std::min(into.size(), max_read_size));
    } while (count < 0 && errno == EINTR);
    if (count < 0) return std::unexpected(io_failure(errno));
    return static_cast<std::size_t>(count);
}

std::expected<ByteBuffer, LoadError> FileHandle::read_to_end() {
    struct stat attributes{};
    if (::fstat(descriptor_, &attributes) != 0) return std::unexpected(io_failure(errno));
    const std::size_t expected_size =
        S_ISREG(attributes.st_mode) ? static_cast<std::size_t>(attributes.st_size) : 0;

    auto buffer = allocate(expected_size);
    if (!buffer) return buffer;
    std::size_t filled = 0;
    for (;;) {
        if (filled < buffer->size()) {
            const auto count = read_some(buffer->bytes().subspan(filled));
            if (!count) return std::unexpected(count.error());
            if (*count == 0) break;
            filled += *count;
            continue;
        }
        std::array<std::byte, probe_size> probe;
        const auto count = read_some(probe);
        if (!count) return std::unexpected(count.error());
        if (*count == 0) break;
        auto grown = grow(*buffer, filled, *count);
        if (!grown) return grown;
        std::memcpy(grown->data() + filled, probe.data(), *count);
        filled += *count;
        buffer = std::move(grown);
    }
    buffer->shrink(filled);
    return buffer;
}

}  // namespace corvid
