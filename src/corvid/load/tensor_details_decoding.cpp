// Decoding one header entry into the description of a tensor.
#include "corvid/load/tensor_details_decoding.hpp"

#include <array>
#include <cstdint>

namespace corvid {

namespace {

std::optional<DataType> decode_dtype(const JsonValue& value) {
    if (const auto* name = std::get_if<std::string>(&value.content)) return data_type_from_name(*name);
    if (const auto* object = std::get_if<JsonObject>(&value.content)) {
        if (object->size() == 1 && std::holds_alternative<std::nullptr_t>(object->front().value.content)) {
            return data_type_from_name(object->front().name);
        }
    }
    return std::nullopt;
}

// Negative, fractional, exponent-written and too large numbers were parsed as
// other kinds, so only the unsigned kind is accepted.
std::optional<std::array<std::uint64_t, 2>> decode_pair(const JsonValue& value) {
    const auto* elements = std::get_if<JsonArray>(&value.content);
    if (elements == nullptr || elements->size() != 2) return std::nullopt;
    const auto* first = std::get_if<std::uint64_t>(&(*elements)[0].content);
    const auto* second = std::get_if<std::uint64_t>(&(*elements)[1].content);
    if (first == nullptr || second == nullptr) return std::nullopt;
    return std::array{*first, *second};
}

std::optional<TensorDetails> decode_fields(const JsonValue* dtype, const JsonValue* shape,
                                           const JsonValue* data_offsets) {
    if (dtype == nullptr || shape == nullptr || data_offsets == nullptr) return std::nullopt;
    const auto decoded_dtype = decode_dtype(*dtype);
    const auto decoded_shape = decode_pair(*shape);
    const auto decoded_offsets = decode_pair(*data_offsets);
    if (!decoded_dtype || !decoded_shape || !decoded_offsets) return std::nullopt;
    return TensorDetails{*decoded_dtype, *decoded_shape, *decoded_offsets};
}

}  // namespace

std::optional<TensorDetails> decode_tensor_details(const JsonValue& value) {
    if (const auto* object = std::get_if<JsonObject>(&value.content)) {
        return decode_fields(find_member(*object, "dtype"), find_member(*object, "shape"),
                             find_member(*object, "data_offsets"));
    }
    if (const auto* elements = std::get_if<JsonArray>(&value.content); elements && elements->size() == 3) {
        return decode_fields(&(*elements)[0], &(*elements)[1], &(*elements)[2]);
    }
    return std::nullopt;
}

}  // namespace corvid
