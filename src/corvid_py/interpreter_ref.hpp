// Objects that each interpreter makes for itself once and keeps.
#pragma once

#include <Python.h>

#include "corvid_py/py_ref.hpp"

namespace corvid_py {

// One object per interpreter, made on first use and kept in that interpreter's
// own dictionary (PyInterpreterState_GetDict) under `key`. A subinterpreter
// therefore never sees the main interpreter's object, its own is released
// when it ends, and a runtime initialised again after finalisation makes a
// fresh one. Two threads may both make one; the first to publish wins and the
// other's is released, so an interpreter stores at most one.
class InterpreterRef {
public:
    // `key` names the object among every extension's entries: "corvid_py.{name}".
    explicit constexpr InterpreterRef(const char* key) noexcept : key_(key) {}

    // A new reference to the calling interpreter's object, made by `make` (a
    // callable returning a new reference, or null with an exception set) if
    // absent. Empty with an exception set on failure; a failed make stores
    // nothing, so the next call tries again.
    template <class Make>
    [[nodiscard]] PyRef get(Make&& make) const {
        PyRef stored;
        if (!find(stored)) return PyRef();
        if (stored) return stored;
        PyRef made = PyRef::steal(make());
        if (!made) return PyRef();
        return publish(std::move(made));
    }

    // The calling interpreter's object, or empty while none has been made.
    // Never raises; must be called with no exception pending.
    [[nodiscard]] PyRef peek() const noexcept;

private:
    // Fills `stored` with the object, or leaves it empty when absent. False
    // with an exception set if the dictionary cannot be read.
    bool find(PyRef& stored) const noexcept;
    // Stores `made` unless another object was stored first; returns the one stored.
    PyRef publish(PyRef made) const noexcept;

    const char* key_;
};

}  // namespace corvid_py
