// The internal failure of a byte range that does not lie inside its buffer.
#include "corvid/load/slice_range.hpp"

#include <format>

#include "corvid/load/internal_failure.hpp"

namespace corvid {

std::string slice_out_of_range_message(WideIndex begin, WideIndex end, std::uint64_t length) {
    if (begin > length) return std::format("range start index {} out of range for slice of length {}", begin, length);
    if (end > length) return std::format("range end index {} out of range for slice of length {}", end, length);
    return std::format("slice index starts at {} but ends at {}", begin, end);
}

void fail_slice_out_of_range(WideIndex begin, WideIndex end, std::uint64_t length, std::source_location where) {
    fail_internal(slice_out_of_range_message(begin, end, length), where);
}

}  // namespace corvid
