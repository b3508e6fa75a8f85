// Reading model.safetensors: the length field, the header, then only the
// chosen tensor's bytes.
#include "corvid/load/weights_reader.hpp"

#include <cstdint>
#include <new>
#include <string_view>

#include "corvid/load/file_handle.hpp"
#include "corvid/load/header_parser.hpp"
#include "corvid/load/internal_failure.hpp"
#include "corvid/load/little_endian.hpp"
#include "corvid/load/slice_range.hpp"
#include "corvid/load/tensor_details_decoding.hpp"

namespace corvid {

namespace {

constexpr std::uint64_t length_field_size = 8;

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "a file range must fit in memory sizes");

// `size` bytes of `file` from `offset` on, in a buffer of their own.
std::expected<ByteBuffer, LoadError> read_range(FileHandle& file, std::uint64_t offset, std::uint64_t size,
                                                StopCheck stop) {
    ByteBuffer bytes;
    try {
        bytes = ByteBuffer::allocate(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return std::unexpected(io_failure_out_of_memory());
    }
    if (auto read = file.read_exactly_at(bytes, offset, stop); !read) return std::unexpected(std::move(read.error()));
    return bytes;
}

// Reads and parses the header and returns the details of its first usable
// entry. The header text and its tree are released on return, before the
// tensor is read.
std::expected<TensorDetails, LoadError> read_tensor_details(FileHandle& file, std::uint64_t header_length,
                                                            StopCheck stop) {
    const auto text = read_range(file, length_field_size, header_length, stop);
    if (!text) return std::unexpected(text.error());
    const auto header = parse_header(std::string_view(reinterpret_cast<const char*>(text->data()), text->size()));
    if (!header) return std::unexpected(header_syntax_failure(header.error().describe()));
    if (auto details = choose_tensor(*header)) return *details;
    return std::unexpected(tensor_not_found());
}

// The header of the open `file`, its chosen tensor checked against the file's
// size taken at open: bytes a writer appends later are not data, and bytes it
// cuts off fail the read that misses them.
std::expected<TableHeader, HeaderFailure> read_header(FileHandle& file, StopCheck stop) {
    const std::uint64_t file_size = file.size();
    if (file_size < length_field_size) return std::unexpected(HeaderFailure{LoadError("mid > len"), true});
    const auto length_field = read_range(file, 0, length_field_size, stop);
    if (!length_field) return std::unexpected(HeaderFailure{length_field.error()});
    const auto header_length = load_little_endian<std::uint64_t>(length_field->data());
    if (header_length > file_size - length_field_size) {
        return std::unexpected(HeaderFailure{LoadError("mid > len"), true});
    }
    const std::uint64_t data_start = length_field_size + header_length;
    const std::uint64_t data_length = file_size - data_start;

    const auto details = read_tensor_details(file, header_length, stop);
    if (!details) return std::unexpected(HeaderFailure{details.error()});
    const auto [begin, end] = details->data_offsets;
    if (begin > end || end > data_length) {
        return std::unexpected(HeaderFailure{LoadError(slice_out_of_range_message(begin, end, data_length)), true});
    }
    return TableHeader{*details, data_start};
}

}  // namespace

std::expected<TableHeader, HeaderFailure> read_table_header(const std::filesystem::path& path, StopCheck stop) {
    auto file = FileHandle::open_regular_file(path);
    if (!file) return std::unexpected(HeaderFailure{std::move(file.error())});
    return read_header(*file, stop);
}

std::expected<LoadedTensor, LoadError> load_tensor(const std::filesystem::path& path, StopCheck stop) {
    auto file = FileHandle::open_regular_file(path);
    if (!file) return std::unexpected(std::move(file.error()));
    auto header = read_header(*file, stop);
    if (!header) {
        if (header.error().broken) fail_internal(header.error().error.message());
        return std::unexpected(std::move(header.error().error));
    }
    const auto [begin, end] = header->details.data_offsets;
    auto bytes = read_range(*file, header->data_start + begin, end - begin, stop);
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    return LoadedTensor{header->details, std::move(*bytes)};
}

}  // namespace corvid
