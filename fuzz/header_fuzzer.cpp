// Fuzzes the header parser and the choice and decoding of the tensor entry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "corvid/load/header_parser.hpp"
#include "corvid/load/tensor_details_decoding.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto header = corvid::parse_header(text);
    if (!header) {
        const auto& error = header.error();
        // A position inside the text, or just past its end.
        if (error.line < 1 || error.column > size + 1 || error.describe().empty()) std::abort();
        return 0;
    }
    if (const auto details = corvid::choose_tensor(*header)) {
        if (static_cast<std::size_t>(details->dtype) >= corvid::data_type_count) std::abort();
    }
    return 0;
}
