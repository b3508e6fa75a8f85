// A read-only regular file that closes itself.
#include "corvid/load/file_handle.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>

namespace corvid {

namespace {

// At a slow disk's 100 MB/s a chunk takes 40 ms, so a stop request waits
// well under a tenth of a second; at memory speed the checks cost nothing.
constexpr std::size_t chunk_size = std::size_t{4} << 20;

static_assert(sizeof(off_t) == sizeof(std::uint64_t), "file offsets and sizes are 64-bit");

// What a file that is neither regular nor a directory is, for the message.
std::string_view file_type_name(mode_t mode) noexcept {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

// The failure for a file of this type, if it is not a regular file.
std::optional<LoadError> refusal_of(mode_t mode) {
    if (S_ISREG(mode)) return std::nullopt;
    // Reading a directory fails so; refusing it earlier keeps the message.
    if (S_ISDIR(mode)) return io_failure(EISDIR);
    return io_failure_not_regular_file(file_type_name(mode));
}

}  // namespace

std::expected<FileHandle, LoadError> FileHandle::open_regular_file(const std::filesystem::path& path,
                                                                   ReadAt read_at) {
    // The OS would cut the path at an interior NUL and open another file.
    if (path.native().find('\0') != std::string::npos) return std::unexpected(io_failure(EINVAL));
    int descriptor;
    do {
        descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        const int error = errno;
        // A socket (or a device without its driver) cannot be opened at all;
        // it is still no regular file, and is refused as one.
        struct stat attributes{};
        if (error == ENXIO && ::stat(path.c_str(), &attributes) == 0) {
            if (auto refusal = refusal_of(attributes.st_mode)) return std::unexpected(std::move(*refusal));
        }
        return std::unexpected(io_failure(error));
    }
    FileHandle file(descriptor, 0, read_at);
    struct stat attributes{};
    if (::fstat(descriptor, &attributes) != 0) return std::unexpected(io_failure(errno));
    if (auto refusal = refusal_of(attributes.st_mode)) return std::unexpected(std::move(*refusal));
    file.size_ = static_cast<std::uint64_t>(attributes.st_size);
    return file;
}

FileHandle::FileHandle(FileHandle&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), size_(other.size_), read_at_(other.read_at_) {}

FileHandle::~FileHandle() {
    // Nothing was written, so a failing close loses nothing; on Linux the
    // descriptor is gone even then, so an interrupted close is not retried.
    if (descriptor_ >= 0) (void)::close(descriptor_);
}

std::expected<void, LoadError> FileHandle::read_exactly_at(ByteBuffer& into, std::uint64_t offset,
                                                           StopCheck stop) {
    std::size_t done = 0;
    while (done < into.size()) {
        if (stop()) return std::unexpected(io_failure_interrupted());
        const std::size_t chunk_end = std::min(into.size(), done + chunk_size);
        into.prefault(done, chunk_end - done);
        while (done < chunk_end) {
            const ssize_t count = read_at_(descriptor_, into.data() + done, chunk_end - done,
                                           static_cast<off_t>(offset + done));
            if (count < 0) {
                if (errno == EINTR) continue;
                return std::unexpected(io_failure(errno));
            }
            if (count == 0) return std::unexpected(io_failure_file_shrank());
            done += static_cast<std::size_t>(count);
        }
    }
    return {};
}

}  // namespace corvid
