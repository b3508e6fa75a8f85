// Reading model.safetensors: split into header and data, choose the tensor,
// keep only its bytes.
#include "corvid/load/weights_reader.hpp"

#include <cstdint>
#include <format>
#include <optional>
#include <string_view>

#include "corvid/load/file_handle.hpp"
#include "corvid/load/header_parser.hpp"
#include "corvid/load/internal_failure.hpp"
#include "corvid/load/tensor_details_decoding.hpp"

namespace corvid {

namespace {

constexpr std::size_t length_field_size = 8;
constexpr std::string_view metadata_name = "__metadata__";

// Opens, reads whole and closes (also on failure).
std::expected<ByteBuffer, LoadError> read_file(const std::filesystem::path& path) {
    auto file = FileHandle::open_for_reading(path);
    if (!file) return std::unexpected(std::move(file.error()));
    return file->read_to_end();
}

std::uint64_t read_little_endian_u64(const std::byte* bytes) noexcept {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value |= std::to_integer<std::uint64_t>(bytes[i]) << (8 * i);
    return value;
}

// The first entry that describes a tensor; the metadata entry and entries that
// do not decode are passed over without a word.
std::optional<TensorDetails> choose_tensor(const JsonObject& header) {
    for (const auto& [name, value] : header) {
        if (name == metadata_name) continue;
        if (auto details = decode_tensor_details(value)) return details;
    }
    return std::nullopt;
}

// Offsets outside the data section are broken preconditions, tested in this
// order.
void check_tensor_range(std::uint64_t begin, std::uint64_t end, std::size_t data_length) {
    if (begin > data_length) {
        fail_internal(std::format("range start index {} out of range for slice of length {}", begin, data_length));
    }
    if (end > data_length) {
        fail_internal(std::format("range end index {} out of range for slice of length {}", end, data_length));
    }
    if (begin > end) fail_internal(std::format("slice index starts at {} but ends at {}", begin, end));
}

}  // namespace

std::expected<LoadedTensor, LoadError> load_tensor(const std::filesystem::path& path,
                                                   [[maybe_unused]] StopCheck stop) {
    auto contents = read_file(path);
    if (!contents) return std::unexpected(std::move(contents.error()));
    ByteBuffer& file = *contents;

    if (file.size() < length_field_size) fail_internal("mid > len");
    const std::uint64_t header_length = read_little_endian_u64(file.data());
    if (header_length > file.size() - length_field_size) fail_internal("mid > len");
    // Both fit: the header lies inside the file.
    const auto header_size = static_cast<std::size_t>(header_length);
    const std::size_t data_start = length_field_size + header_size;
    const std::size_t data_length = file.size() - data_start;

    std::optional<TensorDetails> chosen;
    {
        // The header map goes before the tensor bytes are moved.
        const auto header = parse_header(
            std::string_view(reinterpret_cast<const char*>(file.data() + length_field_size), header_size));
        if (!header) return std::unexpected(header_syntax_failure(header.error().describe()));
        chosen = choose_tensor(*header);
    }
    if (!chosen) return std::unexpected(tensor_not_found());

    const auto [begin, end] = chosen->data_offsets;
    check_tensor_range(begin, end, data_length);
    // The file buffer keeps the tensor's bytes and gives back the rest: the
    // file is never held twice.
    file.keep_range(data_start + static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
    return LoadedTensor{*chosen, std::move(file)};
}

}  // namespace corvid
