// The caller's buffer that a batch's rows are written into.
#include "corvid_embed_native/output_rows.hpp"

#include <bit>
#include <cstdint>
#include <string_view>

namespace corvid_embed {

namespace {

// Bytes, or float32 in this machine's byte order (the module is built for
// little-endian machines only).
bool holds_rows(const Py_buffer& view) {
    const std::string_view format = view.format == nullptr ? "B" : view.format;
    if (view.itemsize == 1) return format == "B" || format == "b" || format == "c";
    return view.itemsize == 4 && (format == "f" || format == "<f" || format == "=f");
}

}  // namespace

bool OutputRows::hold(PyObject* out, std::size_t rows, std::size_t columns) {
    static_assert(std::endian::native == std::endian::little, "rows are written little-endian");
    if (PyObject_GetBuffer(out, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
    held_ = true;
    if (!holds_rows(view_)) {
        PyErr_Format(PyExc_TypeError, "out must hold bytes or float32, not items of format '%s'",
                     view_.format == nullptr ? "B" : view_.format);
        return false;
    }
    std::size_t needed = 0;
    if (__builtin_mul_overflow(rows, columns, &needed) || __builtin_mul_overflow(needed, sizeof(float), &needed) ||
        needed > static_cast<std::size_t>(view_.len)) {
        PyErr_Format(PyExc_ValueError, "out holds %zd bytes, fewer than %zu rows of %zu float32", view_.len, rows,
                     columns);
        return false;
    }
    return true;
}

}  // namespace corvid_embed
