// Fuzzes the header parser and the decoding of every entry it yields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <unordered_set>
#include <variant>

#include "corvid/load/header_parser.hpp"
#include "corvid/load/tensor_details_decoding.hpp"

namespace {

// Every object, at every level, holds each name once.
void check_names_unique(const corvid::JsonValue& value) {
    if (const auto* object = std::get_if<corvid::JsonObject>(&value.content)) {
        std::unordered_set<std::string_view> names;
        for (const auto& member : *object) {
            if (!names.insert(member.name).second) std::abort();
            check_names_unique(member.value);
        }
    } else if (const auto* array = std::get_if<corvid::JsonArray>(&value.content)) {
        for (const auto& element : *array) check_names_unique(element);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto header = corvid::parse_header(text);
    if (!header) {
        const auto& error = header.error();
        // A position inside the text, or just past its end.
        if (error.line < 1 || error.column > size + 1 || error.describe().empty()) std::abort();
        return 0;
    }
    corvid::JsonValue whole{std::move(*header)};
    check_names_unique(whole);
    for (const auto& member : std::get<corvid::JsonObject>(whole.content)) {
        if (const auto details = corvid::decode_tensor_details(member.value)) {
            if (static_cast<std::size_t>(details->dtype) >= corvid::data_type_count) std::abort();
        }
    }
    (void)corvid::decode_tensor_details(whole);
    return 0;
}
