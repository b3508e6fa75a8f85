// The embedding result as a Python list.
#include "corvid_py/float_list.hpp"

#include "corvid_py/glue.hpp"
#include "corvid_py/py_ref.hpp"

namespace corvid_py {

PyObject* to_float_list(std::span<const float> values) {
    // Created at its final length and filled slot by slot: no appends.
    PyRef list = PyRef::steal(expect_object(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* number = expect_object(PyFloat_FromDouble(static_cast<double>(values[i])));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
    }
    return list.release();
}

}  // namespace corvid_py
