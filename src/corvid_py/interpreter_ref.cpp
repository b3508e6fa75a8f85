// Objects that each interpreter makes for itself once and keeps.
#include "corvid_py/interpreter_ref.hpp"

namespace corvid_py {

namespace {

// The calling interpreter's dictionary for extension state (borrowed), or
// null with RuntimeError set when the interpreter could not create one.
PyObject* interpreter_dict() noexcept {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the interpreter has no dictionary for extension state");
    }
    return dict;
}

}  // namespace

bool InterpreterRef::find(PyRef& stored) const noexcept {
    PyObject* dict = interpreter_dict();
    if (dict == nullptr) return false;
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(dict, key_, &found) < 0) return false;
    stored = PyRef::steal(found);
    return true;
}

PyRef InterpreterRef::publish(PyRef made) const noexcept {
    PyObject* dict = interpreter_dict();
    PyRef key = PyRef::steal(dict != nullptr ? PyUnicode_FromString(key_) : nullptr);
    if (!key) return PyRef();
    PyObject* stored = nullptr;
    if (PyDict_SetDefaultRef(dict, key.get(), made.get(), &stored) < 0) return PyRef();
    return PyRef::steal(stored);
}

PyRef InterpreterRef::peek() const noexcept {
    PyRef stored;
    if (!find(stored)) PyErr_Clear();
    return stored;
}

}  // namespace corvid_py
