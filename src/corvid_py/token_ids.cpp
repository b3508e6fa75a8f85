// Conversion of the `tokens` argument to 32-bit token ids.
#include "corvid_py/token_ids.hpp"

#include <limits>
#include <new>
#include <stdexcept>

#include "corvid/load/internal_failure.hpp"
#include "corvid_py/glue.hpp"
#include "corvid_py/interpreter_ref.hpp"
#include "corvid_py/py_ref.hpp"
#include "corvid_py/token_buffer.hpp"

namespace corvid_py {

namespace {

const InterpreterRef sequence_class("corvid_py.Sequence");

// collections.abc.Sequence, imported on the first failure that names it.
PyRef get_sequence_class() {
    PyRef found = sequence_class.get([]() -> PyObject* {
        PyRef name = PyRef::steal(PyUnicode_FromString("collections.abc"));
        PyRef module = PyRef::steal(name ? PyImport_Import(name.get()) : nullptr);
        return module ? PyObject_GetAttrString(module.get(), "Sequence") : nullptr;
    });
    if (!found) {
        PyErr_WriteUnraisable(nullptr);
        corvid::fail_internal("could not look up collections.abc.Sequence");
    }
    return found;
}

[[gnu::cold]] void raise_not_a_sequence(PyObject* tokens) {
    PyRef sequence = get_sequence_class();
    PyRef qualname =
        PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(sequence.get())));
    const char* target = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
    if (target == nullptr) {
        PyErr_Clear();
        target = "Sequence";
    }
    raise_type_mismatch(tokens, target);
}

// Reserves room for the sequence's own length. The length is Python code's to
// choose: a hint that cannot be reserved is ignored and the vector grows.
void reserve_hint(std::vector<std::uint32_t>& ids, PyObject* tokens) {
    const Py_ssize_t hint = PyObject_Size(tokens);
    if (hint < 0) {
        PyErr_Clear();
        return;
    }
    try {
        ids.reserve(static_cast<std::size_t>(hint));
    } catch (const std::length_error&) {
    } catch (const std::bad_alloc&) {
    }
}

// Converts the items that `next_item` gives (1: an item, 0: the end, -1: a
// failure with the exception set) and appends them; false on the first failure.
template <typename NextItem>
bool extract_each(NextItem next_item, std::vector<std::uint32_t>& ids) {
    for (;;) {
        PyObject* raw_item = nullptr;
        const int status = next_item(&raw_item);
        if (status <= 0) return status == 0;
        const PyRef item = PyRef::steal(raw_item);
        const std::optional<std::uint32_t> id = extract_token_id(item.get());
        if (!id) return false;
        ids.push_back(*id);
    }
}

// The items of an exact list or tuple, read by index exactly as their
// iterators read them, without the iterator: the length is checked before
// every item, so a list changed by an item's __index__ ends the same way.
bool extract_by_index(PyObject* tokens, std::vector<std::uint32_t>& ids) {
    Py_ssize_t index = 0;
    if (PyTuple_CheckExact(tokens)) {
        return extract_each([&](PyObject** item) {
            if (index >= PyTuple_GET_SIZE(tokens)) return 0;
            *item = Py_NewRef(PyTuple_GET_ITEM(tokens, index++));
            return 1;
        }, ids);
    }
    return extract_each([&](PyObject** item) {
        if (index >= PyList_GET_SIZE(tokens)) return 0;
        *item = PyList_GetItemRef(tokens, index++);
        if (*item != nullptr) return 1;
        // Only a list shrunk by another thread since the length check gets
        // here; its iterator would end too.
        PyErr_Clear();
        return 0;
    }, ids);
}

// The items through the iterator protocol.
bool extract_iterated(PyObject* tokens, std::vector<std::uint32_t>& ids) {
    PyRef iterator = PyRef::steal(PyObject_GetIter(tokens));
    if (!iterator) return false;
    return extract_each([&](PyObject** item) { return PyIter_NextItem(iterator.get(), item); }, ids);
}

}  // namespace

std::optional<std::uint32_t> extract_token_id(PyObject* item) {
    // Small non-negative ints, the usual ids, are read directly; every other
    // item takes the general path and its messages.
    if (PyLong_CheckExact(item) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) {
        const Py_ssize_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
        static_assert(PyLong_SHIFT <= 32, "a compact int's magnitude fits in 32 bits");
        if (value >= 0) return static_cast<std::uint32_t>(value);
    }
    PyRef index;
    PyObject* number = item;
    if (!PyLong_Check(item)) {
        index = PyRef::steal(PyNumber_Index(item));
        if (!index) return std::nullopt;
        number = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(number);
    if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) {
        return std::nullopt;
    }
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::vector<std::uint32_t>> extract_token_ids(PyObject* tokens) {
    if (PyUnicode_Check(tokens)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    std::vector<std::uint32_t> ids;
    switch (read_token_buffer(tokens, ids)) {
    case BufferRead::read: return ids;
    case BufferRead::failed: return std::nullopt;
    case BufferRead::not_taken: break;
    }
    if (!PySequence_Check(tokens)) {
        raise_not_a_sequence(tokens);
        return std::nullopt;
    }
    reserve_hint(ids, tokens);
    const bool extracted = PyList_CheckExact(tokens) || PyTuple_CheckExact(tokens)
                               ? extract_by_index(tokens, ids)
                               : extract_iterated(tokens, ids);
    if (!extracted) return std::nullopt;
    return ids;
}

}  // namespace corvid_py
