// The internal failure of a byte range that does not lie inside its buffer.
#include "corvid/load/slice_range.hpp"

#include <format>

#include "corvid/load/internal_failure.hpp"

namespace corvid {

void fail_slice_out_of_range(WideIndex begin, WideIndex end, std::uint64_t length, std::source_location where) {
    if (begin > length) {
        fail_internal(std::format("range start index {} out of range for slice of length {}", begin, length), where);
    }
    if (end > length) {
        fail_internal(std::format("range end index {} out of range for slice of length {}", end, length), where);
    }
    fail_internal(std::format("slice index starts at {} but ends at {}", begin, end), where);
}

}  // namespace corvid
