// Token ids read straight from a one-dimensional buffer of integers.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

namespace corvid_py {

enum class BufferRead {
    not_taken,  // not such a buffer: the sequence path converts it
    read,       // every id stored
    failed,     // an exception is set, exactly the one the sequence path raises
};

// Fills `ids` (empty on entry) with the ids of `tokens` when it is an exact
// bytes, bytearray, memoryview,
// array.array or numpy.ndarray holding a one-dimensional C-contiguous buffer of
// native integers: types whose iteration is C code giving exactly the buffer's
// values, so reading the buffer is indistinguishable from iterating. Anything
// else (subclasses, other formats or layouts, a refused buffer request) is
// not taken and leaves no exception.
[[nodiscard]] BufferRead read_token_buffer(PyObject* tokens, std::vector<std::uint32_t>& ids);

}  // namespace corvid_py
