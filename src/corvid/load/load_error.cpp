// The load error catalogue: the errno category table and the message families.
#include "corvid/load/load_error.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <format>
#include <type_traits>

namespace corvid {

namespace {

constexpr std::string_view out_of_memory = "out of memory";
constexpr std::string_view interrupted = "operation interrupted";
constexpr std::string_view unsupported = "unsupported";
constexpr std::string_view uncategorized = "uncategorized error";

// Linux codes by meaning. EAGAIN is EWOULDBLOCK, ENOTSUP is EOPNOTSUPP and
// EDEADLOCK is EDEADLK here, so each is listed once.
constexpr std::array categories = {
    IoErrorCategory{ENOENT, "entity not found"},
    IoErrorCategory{EACCES, "permission denied"},
    IoErrorCategory{EPERM, "permission denied"},
    IoErrorCategory{ECONNREFUSED, "connection refused"},
    IoErrorCategory{ECONNRESET, "connection reset"},
    IoErrorCategory{EHOSTUNREACH, "host unreachable"},
    IoErrorCategory{ENETUNREACH, "network unreachable"},
    IoErrorCategory{ECONNABORTED, "connection aborted"},
    IoErrorCategory{ENOTCONN, "not connected"},
    IoErrorCategory{EADDRINUSE, "address in use"},
    IoErrorCategory{EADDRNOTAVAIL, "address not available"},
    IoErrorCategory{ENETDOWN, "network down"},
    IoErrorCategory{EPIPE, "broken pipe"},
    IoErrorCategory{EEXIST, "entity already exists"},
    IoErrorCategory{EWOULDBLOCK, "operation would block"},
    IoErrorCategory{ENOTDIR, "not a directory"},
    IoErrorCategory{EISDIR, "is a directory"},
    IoErrorCategory{ENOTEMPTY, "directory not empty"},
    IoErrorCategory{EROFS, "read-only filesystem or storage medium"},
    IoErrorCategory{ELOOP, "filesystem loop or indirection limit (e.g. symlink loop)"},
    IoErrorCategory{ESTALE, "stale network file handle"},
    IoErrorCategory{EINVAL, "invalid input parameter"},
    IoErrorCategory{ETIMEDOUT, "timed out"},
    IoErrorCategory{ENOSPC, "no storage space"},
    IoErrorCategory{ESPIPE, "seek on unseekable file"},
    IoErrorCategory{EDQUOT, "quota exceeded"},
    IoErrorCategory{EFBIG, "file too large"},
    IoErrorCategory{EBUSY, "resource busy"},
    IoErrorCategory{ETXTBSY, "executable file busy"},
    IoErrorCategory{EDEADLK, "deadlock"},
    IoErrorCategory{EXDEV, "cross-device link or rename"},
    IoErrorCategory{EMLINK, "too many links"},
    IoErrorCategory{ENAMETOOLONG, "invalid filename"},
    IoErrorCategory{E2BIG, "argument list too long"},
    IoErrorCategory{EINTR, interrupted},
    IoErrorCategory{EINPROGRESS, "in progress"},
    IoErrorCategory{ENOSYS, unsupported},
    IoErrorCategory{EOPNOTSUPP, unsupported},
    IoErrorCategory{ENOMEM, out_of_memory},
};

std::string_view category_phrase(int code) noexcept {
    for (const auto& category : categories) {
        if (category.code == code) return category.phrase;
    }
    return uncategorized;
}

// The system's text for `code` without the white space some systems append.
std::string system_message(int code) {
    static_assert(std::is_same_v<decltype(::strerror_r(0, nullptr, 0)), char*>,
                  "expects the GNU strerror_r, which returns the text");
    std::array<char, 256> buffer{};
    std::string_view text = ::strerror_r(code, buffer.data(), buffer.size());
    const auto end = text.find_last_not_of(" \t\n\v\f\r");
    return std::string(text.substr(0, end == std::string_view::npos ? 0 : end + 1));
}

// "IO Error: {kind}. Details: {details}", for every IoFailure.
LoadError categorised_failure(std::string_view kind, std::string_view details) {
    return LoadError(std::format("IO Error: {}. Details: {}", kind, details));
}

}  // namespace

std::span<const IoErrorCategory> io_error_categories() noexcept { return categories; }

LoadError io_failure(int error_code) {
    return categorised_failure(category_phrase(error_code),
                               std::format("{} (os error {})", system_message(error_code), error_code));
}

LoadError io_failure_out_of_memory() { return categorised_failure(out_of_memory, out_of_memory); }

LoadError io_failure_interrupted() { return categorised_failure(interrupted, interrupted); }

LoadError io_failure_not_regular_file(std::string_view what) {
    return categorised_failure(unsupported, std::format("the weights file is not a regular file but {}", what));
}

LoadError io_failure_file_shrank() {
    return categorised_failure("unexpected end of file", "the weights file became shorter while it was read");
}

LoadError header_syntax_failure(std::string_view parser_message) {
    return LoadError(std::format("SerDe Error: {}", parser_message));
}

LoadError tensor_not_found() {
    return LoadError("Could not find tensor details for the current safetensors model");
}

}  // namespace corvid
