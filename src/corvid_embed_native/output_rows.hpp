// The caller's buffer that a batch's rows are written into.
#pragma once

#include <Python.h>

#include <cstddef>

namespace corvid_embed {

// A writable, C-contiguous buffer of bytes or float32 items with room for
// `rows` rows of `columns` float32 each, held for its scope so that it can be
// written with the interpreter lock released.
class OutputRows {
public:
    OutputRows() = default;
    OutputRows(const OutputRows&) = delete;
    OutputRows& operator=(const OutputRows&) = delete;
    ~OutputRows() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Takes `out`'s buffer; false, with TypeError, BufferError or ValueError
    // set, when it is not one that can take the rows.
    [[nodiscard]] bool hold(PyObject* out, std::size_t rows, std::size_t columns);

    std::byte* data() const noexcept { return static_cast<std::byte*>(view_.buf); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace corvid_embed
