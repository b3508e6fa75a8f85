// The embedding result as a Python list.
#pragma once

#include <Python.h>

#include <span>

namespace corvid_py {

// A new list of Python floats, each the exact widening of one value. The
// interpreter failing to make the list or a float is an internal failure.
PyObject* to_float_list(std::span<const float> values);

}  // namespace corvid_py
