// Choosing the header entry that describes the tensor, and decoding it.
#pragma once

#include <optional>

#include "corvid/load/header_parser.hpp"
#include "corvid/load/tensor_details.hpp"

namespace corvid {

// The first entry of the header, in the order names first appear and with the
// last value of a repeated name, that is not named "__metadata__" and decodes
// as the details of a tensor. Entries after it are not looked at.
//
// An entry decodes when it is {"dtype": D, "shape": P, "data_offsets": P}
// (members in any order, others ignored) or [D, P, P]. D is a type name, or an
// object whose only member is a type name holding null; P is an array of
// exactly two unsigned integers. Objects everywhere take the last value of a
// repeated name. Entries that do not decode are passed over without a word.
[[nodiscard]] std::optional<TensorDetails> choose_tensor(const ParsedHeader& header);

}  // namespace corvid
