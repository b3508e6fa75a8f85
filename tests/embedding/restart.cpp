// An application that embeds Python and runs it several times in one process:
// each round initialises the interpreter, imports corvid_py, embeds (a result,
// an argument error, a PanicException) and finalises. Every round must behave
// like the first.
//
//   corvid_restart MODULE_DIR MODEL_DIR
//
// MODULE_DIR holds the built module; MODEL_DIR is created and given a weights file.
#include <Python.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "../cpp/safetensors_writer.hpp"

namespace {

constexpr int rounds = 3;

// Run in each round with `module_dir` and `model_dir` set; an assertion or
// any other exception fails the round. The class is built, and PanicException,
// the note's method name and collections.abc.Sequence are looked up, anew.
constexpr const char round_script[] = R"(
import sys
sys.path.insert(0, module_dir)
import corvid_py

model = corvid_py.StaticEmbedding(model_dir, normalize=False)
assert model.embed_tokens([0, 1]) == [1.0]

try:
    model.embed_tokens(5)
except TypeError as error:
    assert str(error) == "'int' object is not an instance of 'Sequence'", error
    assert error.__notes__ == ["while processing 'tokens'"], error.__notes__
else:
    raise AssertionError("no TypeError")

try:
    model.embed_tokens([2])
except Exception:
    raise
except BaseException as error:
    assert type(error).__name__ == "PanicException", repr(error)
else:
    raise AssertionError("no PanicException")

assert model.embed_tokens([1]) == [3.0]
)";

// A table of two one-column F32 rows, -1 and 3: ids 0 and 1 average to 1, and
// id 2 is past the end (an internal failure, raised as PanicException).
bool write_model(const std::filesystem::path& model_dir) {
    std::error_code error;
    std::filesystem::create_directories(model_dir, error);
    const float rows[] = {-1.0F, 3.0F};
    const std::string data(reinterpret_cast<const char*>(rows), sizeof rows);
    std::ofstream file(model_dir / "model.safetensors", std::ios::binary | std::ios::trunc);
    file << corvid::test::single_tensor_file("F32", {2, 1}, data);
    return static_cast<bool>(file.flush());
}

bool set_text(PyObject* globals, const char* name, const char* text) {
    PyObject* value = PyUnicode_DecodeFSDefault(text);
    const bool set = value != nullptr && PyDict_SetItemString(globals, name, value) == 0;
    Py_XDECREF(value);
    return set;
}

// Runs one round in a freshly initialised interpreter; false (with the
// reason printed) if anything failed.
bool run_round(const char* module_dir, const char* model_dir) {
    Py_Initialize();
    bool passed = false;
    PyObject* globals = PyDict_New();
    if (globals != nullptr &&
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0 &&
        set_text(globals, "module_dir", module_dir) && set_text(globals, "model_dir", model_dir)) {
        PyObject* result = PyRun_String(round_script, Py_file_input, globals, globals);
        passed = result != nullptr;
        Py_XDECREF(result);
    }
    if (!passed) PyErr_Print();
    Py_XDECREF(globals);
    if (Py_FinalizeEx() < 0) {
        std::fputs("finalisation failed\n", stderr);
        passed = false;
    }
    return passed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: corvid_restart MODULE_DIR MODEL_DIR\n", stderr);
        return 2;
    }
    if (!write_model(argv[2])) {
        std::fputs("could not write the weights file\n", stderr);
        return 1;
    }
    for (int round = 1; round <= rounds; ++round) {
        if (!run_round(argv[1], argv[2])) {
            std::fprintf(stderr, "round %d of %d failed\n", round, rounds);
            return 1;
        }
    }
    return 0;
}
