// Decoding one header entry into the description of a tensor.
#pragma once

#include <optional>

#include "corvid/load/json_value.hpp"
#include "corvid/load/tensor_details.hpp"

namespace corvid {

// Accepts {"dtype": D, "shape": P, "data_offsets": P} (members in any order,
// others ignored) or [D, P, P]. D is a type name, or an object whose only
// member is a type name holding null; P is an array of exactly two unsigned
// integers. Anything else describes no tensor (nullopt, and nothing to report).
[[nodiscard]] std::optional<TensorDetails> decode_tensor_details(const JsonValue& value);

}  // namespace corvid
