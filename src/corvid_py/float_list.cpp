// The embedding result as a Python list.
#include "corvid_py/float_list.hpp"

#include "corvid_py/py_ref.hpp"

namespace corvid_py {

PyObject* to_float_list(std::span<const float> values) {
    // Created at its final length and filled slot by slot: no appends.
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        // A list released part-filled skips its empty slots.
        PyObject* number = PyFloat_FromDouble(static_cast<double>(values[i]));
        if (number == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
    }
    return list.release();
}

}  // namespace corvid_py
