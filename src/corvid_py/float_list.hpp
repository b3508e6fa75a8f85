// The embedding result as a Python list.
#pragma once

#include <Python.h>

#include <span>

namespace corvid_py {

// A new list of Python floats, each the exact widening of one value, or null
// with the interpreter's exception (MemoryError) when it cannot make the list
// or a float.
PyObject* to_float_list(std::span<const float> values);

}  // namespace corvid_py
