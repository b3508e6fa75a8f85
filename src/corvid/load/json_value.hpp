// A parsed JSON value: the weights file header before its entries are decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvid {

struct JsonValue;
struct JsonMember;

using JsonArray = std::vector<JsonValue>;

// Members in the order their names first appear. Names are unique: a repeated
// name kept its first position and took its last value.
using JsonObject = std::vector<JsonMember>;

// Numbers keep the kind they were written as: an integer is std::uint64_t when
// not negative and in range, std::int64_t when negative (-0 included) and in
// range; every other number is a double.
struct JsonValue {
    std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, JsonArray,
                 JsonObject>
        content;
};

struct JsonMember {
    std::string name;  // escapes resolved; may hold NUL bytes
    JsonValue value;
};

// The value of the member named exactly `name` (byte for byte), or null.
[[nodiscard]] inline const JsonValue* find_member(const JsonObject& object, std::string_view name) noexcept {
    for (const auto& member : object) {
        if (member.name == name) return &member.value;
    }
    return nullptr;
}

}  // namespace corvid
