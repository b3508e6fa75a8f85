// Owners of Python object references.
#pragma once

#include <Python.h>

#include <utility>

namespace corvid_py {

// Move-only owner of one strong reference, or of none.
class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    // Takes over a new reference; null stays null.
    [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Adds a reference of its own to a borrowed one.
    [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
        return PyRef(Py_XNewRef(object));
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace corvid_py
