// Token ids read straight from a one-dimensional buffer of integers.
#include "corvid_py/token_buffer.hpp"

#include <cstddef>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

#include "corvid_py/py_ref.hpp"
#include "corvid_py/token_ids.hpp"

namespace corvid_py {

namespace {

// The exporters whose iteration gives exactly their buffer's values, in order,
// without running Python code.
enum class Exporter {
    none,
    builtin,  // bytes, bytearray, memoryview, array.array
    numpy,    // numpy.ndarray
};

Exporter exporter_of(PyObject* tokens) {
    if (PyBytes_CheckExact(tokens) || PyByteArray_CheckExact(tokens) || Py_IS_TYPE(tokens, &PyMemoryView_Type)) {
        return Exporter::builtin;
    }
    PyTypeObject* type = Py_TYPE(tokens);
    // Python code cannot make an immutable type: neither a subclass (which may
    // override __iter__, __getitem__ or __len__) nor a class that merely names
    // itself like these passes.
    if (!PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) return Exporter::none;
    const std::string_view name = type->tp_name;
    if (name == "array.array") return Exporter::builtin;
    if (name == "numpy.ndarray") return Exporter::numpy;
    return Exporter::none;
}

// Raises what the sequence path raises for an item of this value: every
// qualifying exporter's item is an int of the value or, from numpy, a scalar
// whose __index__ gives that int.
template <typename Int>
[[gnu::cold]] void raise_out_of_range(Int value) {
    PyRef number = PyRef::steal(std::is_signed_v<Int> ? PyLong_FromLongLong(value)
                                                      : PyLong_FromUnsignedLongLong(value));
    if (number) static_cast<void>(extract_token_id(number.get()));
}

// Converts `count` elements at `data` (possibly unaligned) into `ids`; false
// with the exception set at the first value outside 0 to 4294967295. Each
// element is read once, so a value changed meanwhile by another thread cannot
// pass the range check and then be stored differently.
template <typename Int>
bool convert_elements(const char* data, std::size_t count, std::uint32_t* ids) {
    for (std::size_t i = 0; i < count; ++i) {
        Int value;
        std::memcpy(&value, data + i * sizeof(Int), sizeof(Int));
        if (!std::in_range<std::uint32_t>(value)) {
            raise_out_of_range(value);
            return false;
        }
        ids[i] = static_cast<std::uint32_t>(value);
    }
    return true;
}

using Converter = bool (*)(const char*, std::size_t, std::uint32_t*);

template <std::size_t Size, bool Signed>
using IntOf = std::conditional_t<
    Size == 1, std::conditional_t<Signed, std::int8_t, std::uint8_t>,
    std::conditional_t<Size == 2, std::conditional_t<Signed, std::int16_t, std::uint16_t>,
                       std::conditional_t<Size == 4, std::conditional_t<Signed, std::int32_t, std::uint32_t>,
                                          std::conditional_t<Signed, std::int64_t, std::uint64_t>>>>;

template <bool Signed>
Converter converter_for(std::size_t size) {
    switch (size) {
    case 1: return convert_elements<IntOf<1, Signed>>;
    case 2: return convert_elements<IntOf<2, Signed>>;
    case 4: return convert_elements<IntOf<4, Signed>>;
    case 8: return convert_elements<IntOf<8, Signed>>;
    default: return nullptr;
    }
}

// The converter for an integer struct format whose elements are `itemsize`
// bytes, or null. A bare or '@'-prefixed code has the C type's native size;
// '=' (standard sizes, native order) only where the exporter's iteration
// accepts it: numpy exports it for unaligned arrays and iterates them by
// dtype, memoryview refuses to iterate it. Any other prefix, a second code,
// bool '?', char 'c' and non-integers are refused.
Converter integer_converter(const char* format, Py_ssize_t itemsize, bool standard_allowed) {
    std::string_view code = format == nullptr ? "B" : format;  // no format means unsigned bytes
    const bool standard = standard_allowed && code.starts_with('=');
    if (standard || code.starts_with('@')) code.remove_prefix(1);
    if (code.size() != 1) return nullptr;
    std::size_t size = 0;
    bool is_signed = false;
    switch (code.front()) {
    case 'b': is_signed = true; [[fallthrough]];
    case 'B': size = 1; break;
    case 'h': is_signed = true; [[fallthrough]];
    case 'H': size = standard ? 2 : sizeof(short); break;
    case 'i': is_signed = true; [[fallthrough]];
    case 'I': size = standard ? 4 : sizeof(int); break;
    case 'l': is_signed = true; [[fallthrough]];
    case 'L': size = standard ? 4 : sizeof(long); break;
    case 'q': is_signed = true; [[fallthrough]];
    case 'Q': size = standard ? 8 : sizeof(long long); break;
    case 'n': is_signed = true; [[fallthrough]];
    case 'N': size = standard ? 0 : sizeof(Py_ssize_t); break;
    default: return nullptr;
    }
    if (std::cmp_not_equal(size, itemsize)) return nullptr;
    return is_signed ? converter_for<true>(size) : converter_for<false>(size);
}

// A buffer view of an object, released when it goes out of scope; empty when
// the object refused the request (its exception cleared: the sequence path
// then reports whatever applies).
class BufferView {
public:
    explicit BufferView(PyObject* object) {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0;
        if (!held_) PyErr_Clear();
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }

    explicit operator bool() const noexcept { return held_; }
    const Py_buffer* operator->() const noexcept { return &view_; }
    const Py_buffer& get() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace

BufferRead read_token_buffer(PyObject* tokens, std::vector<std::uint32_t>& ids) {
    const Exporter exporter = exporter_of(tokens);
    if (exporter == Exporter::none) return BufferRead::not_taken;
    // The view pins the memory (the exporter cannot resize or free it while
    // exported), and the ids are copied out before it is released.
    const BufferView view(tokens);
    if (!view || view->ndim != 1 || !PyBuffer_IsContiguous(&view.get(), 'C')) return BufferRead::not_taken;
    const Converter convert = integer_converter(view->format, view->itemsize, exporter == Exporter::numpy);
    if (convert == nullptr) return BufferRead::not_taken;
    const auto count = static_cast<std::size_t>(view->len / view->itemsize);
    ids.resize(count);
    return convert(static_cast<const char*>(view->buf), count, ids.data()) ? BufferRead::read : BufferRead::failed;
}

}  // namespace corvid_py
