// The internal failure of a byte range that does not lie inside its buffer.
#pragma once

#include <cstdint>
#include <source_location>
#include <string>

namespace corvid {

// Wide enough for every range the model asks for: a 32-bit id times a row of
// up to 8 × (2^64 − 1) bytes, and one row more, cannot wrap.
__extension__ using WideIndex = unsigned __int128;

// The message of the first bound that [begin, end) breaks for a buffer of
// `length` bytes, tested in this order: "range start index {begin} out of
// range for slice of length {length}", "range end index {end} ...", "slice
// index starts at {begin} but ends at {end}". The range must be broken.
[[nodiscard]] std::string slice_out_of_range_message(WideIndex begin, WideIndex end, std::uint64_t length);

// Throws the InternalFailure of slice_out_of_range_message. The caller has
// found the range broken; the report names the caller's location.
[[noreturn]] void fail_slice_out_of_range(WideIndex begin, WideIndex end, std::uint64_t length,
                                          std::source_location where = std::source_location::current());

}  // namespace corvid
