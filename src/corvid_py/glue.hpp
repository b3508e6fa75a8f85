// Call glue shared by the Python entry points: the entry frame, argument
// binding, argument notes, conversions and the internal-failure exception.
#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "corvid/load/internal_failure.hpp"

namespace corvid_py {

// The constant description of one callable's parameters. Every parameter may
// be passed by position or by keyword; the first `required_count` are required.
struct CallSignature {
    const char* class_name;
    const char* function_name;
    std::span<const char* const> parameter_names;
    std::size_t required_count;
};

// Fills `slots` (one per parameter, null when empty) with borrowed references.
// The first form serves tp_new (argument tuple, keyword dict or null), the
// second the fast call convention (array, positional count, keyword names or
// null). Returns false with TypeError set.
[[nodiscard]] bool bind_arguments(const CallSignature& signature, PyObject* args,
                                  PyObject* kwargs, std::span<PyObject*> slots);
[[nodiscard]] bool bind_arguments(const CallSignature& signature, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames,
                                  std::span<PyObject*> slots);

// Finishes a failed conversion of the argument `name`: adds the note
// "while processing '{name}'" to the pending exception and keeps it raised.
// Returns null. A pending PanicException becomes an internal failure instead.
PyObject* fail_argument(const char* name);

// "'{type}' object is not an instance of '{target}'" (None: "'None' is ...").
std::string describe_type_mismatch(PyObject* object, std::string_view target);

// Raises TypeError with describe_type_mismatch. Returns null.
PyObject* raise_type_mismatch(PyObject* object, std::string_view target);

// UTF-8 text of a str (or str subclass). Null with an exception set otherwise.
[[nodiscard]] std::optional<std::string> extract_text(PyObject* object);

// A bool, or a numpy boolean scalar. Null with an exception set otherwise.
[[nodiscard]] std::optional<bool> extract_flag(PyObject* object);

// Raises `type` with a UTF-8 message (which may hold NUL or invalid bytes,
// replaced). Returns null.
PyObject* raise_message(PyObject* type, std::string_view message);

// Raises SystemError "attempted to fetch exception but none was set" unless an
// exception is pending: for C API calls that failed without saying why.
void ensure_exception_set() noexcept;

// Raises PanicException(text), creating the class on first use.
void raise_panic(std::string_view text) noexcept;

template <class Result>
inline constexpr Result failure_result = nullptr;
template <>
inline constexpr int failure_result<int> = -1;

// Runs an entry point's body so that no C++ exception reaches the interpreter.
// The body returns its result, or the failure sentinel with a Python exception
// set; internal failures become PanicException, exhausted memory MemoryError.
template <class Body>
auto entry_frame(Body&& body) noexcept -> decltype(body()) {
    using Result = decltype(body());
    try {
        Result result = body();
        if (result == failure_result<Result>) ensure_exception_set();
        return result;
    } catch (const corvid::InternalFailure& failure) {
        raise_panic(failure.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return failure_result<Result>;
}

}  // namespace corvid_py
