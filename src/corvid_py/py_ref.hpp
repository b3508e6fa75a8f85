// Owners of Python object references.
#pragma once

#include <Python.h>

#include <atomic>
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

// A process-wide object made on first use and kept until the process ends.
// Two threads may both make one; the first to publish wins and the other's is
// released, so at most one is ever stored, and a failed make stores nothing.
class OnceRef {
public:
    // Borrowed reference to the stored object, made by `make` (a callable
    // returning a new reference or null with an exception set) if absent.
    template <class Make>
    PyObject* get(Make&& make) {
        PyObject* current = object_.load(std::memory_order_acquire);
        if (current != nullptr) return current;
        PyObject* made = make();
        if (made == nullptr) return nullptr;
        if (object_.compare_exchange_strong(current, made, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
            return made;
        }
        Py_DECREF(made);
        return current;
    }

    // The stored object, or null while none has been made.
    PyObject* peek() const noexcept { return object_.load(std::memory_order_acquire); }

private:
    std::atomic<PyObject*> object_{nullptr};
};

}  // namespace corvid_py
