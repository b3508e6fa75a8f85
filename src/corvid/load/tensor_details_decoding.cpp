// Choosing the header entry that describes the tensor, and decoding it
// straight from the parser's tree.
#include "corvid/load/tensor_details_decoding.hpp"

#include <yyjson.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace corvid {

namespace {

constexpr std::string_view metadata_name = "__metadata__";

std::string_view string_of(yyjson_val* value) noexcept {
    return {yyjson_get_str(value), yyjson_get_len(value)};
}

// The value of the last member named exactly `name` (byte for byte), or null.
yyjson_val* find_member(yyjson_val* object, std::string_view name) noexcept {
    yyjson_val* found = nullptr;
    yyjson_obj_iter iter = yyjson_obj_iter_with(object);
    while (yyjson_val* key = yyjson_obj_iter_next(&iter)) {
        if (string_of(key) == name) found = yyjson_obj_iter_get_val(key);
    }
    return found;
}

std::optional<DataType> decode_dtype(yyjson_val* value) noexcept {
    if (yyjson_is_str(value)) return data_type_from_name(string_of(value));
    if (!yyjson_is_obj(value) || yyjson_obj_size(value) == 0) return std::nullopt;
    // One member once repeated names are folded: every name is the first one.
    yyjson_obj_iter iter = yyjson_obj_iter_with(value);
    yyjson_val* first = yyjson_obj_iter_next(&iter);
    yyjson_val* last = first;
    while (yyjson_val* key = yyjson_obj_iter_next(&iter)) {
        if (string_of(key) != string_of(first)) return std::nullopt;
        last = key;
    }
    if (!yyjson_is_null(yyjson_obj_iter_get_val(last))) return std::nullopt;
    return data_type_from_name(string_of(first));
}

// Negative, fractional, exponent-written and too large numbers were parsed as
// other kinds, so only the unsigned kind is accepted.
std::optional<std::array<std::uint64_t, 2>> decode_pair(yyjson_val* value) noexcept {
    if (!yyjson_is_arr(value) || yyjson_arr_size(value) != 2) return std::nullopt;
    yyjson_val* first = yyjson_arr_get_first(value);
    yyjson_val* second = yyjson_arr_get_last(value);
    if (!yyjson_is_uint(first) || !yyjson_is_uint(second)) return std::nullopt;
    return std::array{yyjson_get_uint(first), yyjson_get_uint(second)};
}

std::optional<TensorDetails> decode_fields(yyjson_val* dtype, yyjson_val* shape, yyjson_val* data_offsets) noexcept {
    if (dtype == nullptr || shape == nullptr || data_offsets == nullptr) return std::nullopt;
    const auto decoded_dtype = decode_dtype(dtype);
    const auto decoded_shape = decode_pair(shape);
    const auto decoded_offsets = decode_pair(data_offsets);
    if (!decoded_dtype || !decoded_shape || !decoded_offsets) return std::nullopt;
    return TensorDetails{*decoded_dtype, *decoded_shape, *decoded_offsets};
}

std::optional<TensorDetails> decode_tensor_details(yyjson_val* value) noexcept {
    if (yyjson_is_obj(value)) {
        return decode_fields(find_member(value, "dtype"), find_member(value, "shape"),
                             find_member(value, "data_offsets"));
    }
    if (yyjson_is_arr(value) && yyjson_arr_size(value) == 3) {
        return decode_fields(yyjson_arr_get(value, 0), yyjson_arr_get(value, 1), yyjson_arr_get(value, 2));
    }
    return std::nullopt;
}

// Orders member names, and occurrences of one name by their place in the
// document (yyjson lays members out in document order).
struct ByNameThenPlace {
    bool operator()(yyjson_val* a, yyjson_val* b) const noexcept {
        const std::string_view name_a = string_of(a);
        const std::string_view name_b = string_of(b);
        return name_a != name_b ? name_a < name_b : std::less<>()(a, b);
    }
};

struct ByName {
    bool operator()(yyjson_val* a, yyjson_val* b) const noexcept { return string_of(a) < string_of(b); }
};

}  // namespace

std::optional<TensorDetails> choose_tensor(const ParsedHeader& header) {
    yyjson_val* object = header.object();
    // Every name's occurrences side by side, one pointer each: a repeated
    // name is decoded at its first place with the value of its last.
    std::vector<yyjson_val*> names;
    names.reserve(yyjson_obj_size(object));
    yyjson_obj_iter iter = yyjson_obj_iter_with(object);
    while (yyjson_val* key = yyjson_obj_iter_next(&iter)) names.push_back(key);
    std::ranges::sort(names, ByNameThenPlace());

    iter = yyjson_obj_iter_with(object);
    while (yyjson_val* key = yyjson_obj_iter_next(&iter)) {
        const auto [first, past_last] = std::equal_range(names.begin(), names.end(), key, ByName());
        if (*first != key || string_of(key) == metadata_name) continue;
        if (auto details = decode_tensor_details(yyjson_obj_iter_get_val(*(past_last - 1)))) return details;
    }
    return std::nullopt;
}

}  // namespace corvid
