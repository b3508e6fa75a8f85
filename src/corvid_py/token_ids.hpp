// Conversion of the `tokens` argument to 32-bit token ids.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace corvid_py {

// The ids of a sequence of ints (or objects with __index__), in iteration
// order. A str, a non-sequence, a failing iteration or a bad item gives
// nullopt with the exception set (no note: the caller adds it).
[[nodiscard]] std::optional<std::vector<std::uint32_t>> extract_token_ids(PyObject* tokens);

// One id from 0 to 4294967295. Nullopt with the exception set otherwise.
[[nodiscard]] std::optional<std::uint32_t> extract_token_id(PyObject* item);

}  // namespace corvid_py
