// Call glue shared by the Python entry points.
#include "corvid_py/glue.hpp"

#include <cstdio>

#include "corvid_py/interpreter_ref.hpp"
#include "corvid_py/py_ref.hpp"

namespace corvid_py {

namespace {

constexpr const char* none_set_message = "attempted to fetch exception but none was set";

constexpr const char* panic_doc =
    "Raised when the extension's internal code fails while serving a Python call.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it usually propagates all the way up and ends the interpreter.";

const InterpreterRef panic_exception_type("corvid_py.PanicException");
const InterpreterRef add_note_name("corvid_py.add_note");

PyRef get_panic_exception_type() {
    return panic_exception_type.get([] {
        return PyErr_NewExceptionWithDoc("corvid_py.PanicException", panic_doc,
                                         PyExc_BaseException, nullptr);
    });
}

std::string full_name(const CallSignature& signature) {
    return std::string(signature.class_name) + "." + signature.function_name + "()";
}

std::string text_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) return {};
    return std::string(data, static_cast<std::size_t>(size));
}

bool raise_type_error(std::string_view message) {
    raise_message(PyExc_TypeError, message);
    return false;
}

[[gnu::cold]] bool raise_too_many_positional(const CallSignature& signature, Py_ssize_t given) {
    const std::size_t count = signature.parameter_names.size();
    std::string message = full_name(signature) + " takes ";
    if (signature.required_count == count) {
        message += std::to_string(count);
    } else {
        message += "from " + std::to_string(signature.required_count) + " to " +
                   std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(given) + " were given";
    return raise_type_error(message);
}

[[gnu::cold]] bool raise_unexpected_keyword(const CallSignature& signature, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 full_name(signature).c_str(), key);
    return false;
}

[[gnu::cold]] bool raise_multiple_values(const CallSignature& signature, const char* name) {
    return raise_type_error(full_name(signature) + " got multiple values for argument '" + name +
                            "'");
}

[[gnu::cold]] bool raise_missing(const CallSignature& signature, const char* name) {
    return raise_type_error(full_name(signature) + " missing 1 required positional argument: '" +
                            name + "'");
}

// The index of the parameter named by `key`, or the parameter count when none
// matches (also for a name that cannot be encoded as UTF-8).
std::size_t parameter_index(const CallSignature& signature, PyObject* key) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (data == nullptr) {
        PyErr_Clear();
        return signature.parameter_names.size();
    }
    const std::string_view name(data, static_cast<std::size_t>(size));
    std::size_t index = 0;
    while (index < signature.parameter_names.size() && signature.parameter_names[index] != name) {
        ++index;
    }
    return index;
}

bool bind_positional(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> slots) {
    const auto given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < given && i < slots.size(); ++i) slots[i] = args[i];
    if (given > slots.size()) return raise_too_many_positional(signature, nargs);
    return true;
}

bool bind_keyword(const CallSignature& signature, PyObject* key, PyObject* value,
                  std::span<PyObject*> slots) {
    const std::size_t index = parameter_index(signature, key);
    if (index == slots.size()) return raise_unexpected_keyword(signature, key);
    if (slots[index] != nullptr) {
        return raise_multiple_values(signature, signature.parameter_names[index]);
    }
    slots[index] = value;
    return true;
}

bool check_required(const CallSignature& signature, Py_ssize_t nargs, std::span<PyObject*> slots) {
    for (auto i = static_cast<std::size_t>(nargs); i < signature.required_count; ++i) {
        if (slots[i] == nullptr) return raise_missing(signature, signature.parameter_names[i]);
    }
    return true;
}

// Builds "while processing '{name}'" and passes it to the exception's add_note.
// A failure here is discarded: the conversion's own exception matters more.
void add_argument_note(PyObject* exception, const char* name) {
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
    if (writer == nullptr) return PyErr_Clear();
    if (PyUnicodeWriter_WriteUTF8(writer, "while processing '", -1) < 0 ||
        PyUnicodeWriter_WriteUTF8(writer, name, -1) < 0 ||
        PyUnicodeWriter_WriteUTF8(writer, "'", -1) < 0) {
        PyUnicodeWriter_Discard(writer);
        return PyErr_Clear();
    }
    PyRef note = PyRef::steal(PyUnicodeWriter_Finish(writer));
    if (!note) return PyErr_Clear();
    PyRef method = add_note_name.get([] { return PyUnicode_InternFromString("add_note"); });
    if (!method) return PyErr_Clear();
    PyObject* call_args[] = {exception, note.get()};
    PyRef result = PyRef::steal(PyObject_VectorcallMethod(method.get(), call_args, 2, nullptr));
    if (!result) PyErr_Clear();
}

// A PanicException raised by Python code during a conversion is not an
// argument error: report it, then continue it as an internal failure.
[[noreturn, gnu::cold]] void continue_panic(PyRef exception) {
    PyRef str = PyRef::steal(PyObject_Str(exception.get()));
    std::string text = str ? text_of(str.get()) : std::string();
    if (!str || PyErr_Occurred()) {
        PyErr_Clear();
        text = "PanicException raised by Python code";
    }
    std::fputs("--- PanicException raised during an argument conversion; continuing it ---\n",
               stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    corvid::fail_internal(std::move(text));
}

}  // namespace

bool bind_arguments(const CallSignature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!bind_positional(signature, &PyTuple_GET_ITEM(args, 0), nargs, slots)) return false;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!bind_keyword(signature, key, value, slots)) return false;
        }
    }
    return check_required(signature, nargs, slots);
}

bool bind_arguments(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots) {
    if (!bind_positional(signature, args, nargs, slots)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) {
                return false;
            }
        }
    }
    return check_required(signature, nargs, slots);
}

PyObject* fail_argument(const char* name) {
    ensure_exception_set();
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    PyRef panic_type = panic_exception_type.peek();
    if (panic_type && Py_TYPE(exception.get()) == reinterpret_cast<PyTypeObject*>(panic_type.get())) {
        continue_panic(std::move(exception));
    }
    add_argument_note(exception.get(), name);
    PyErr_SetRaisedException(exception.release());
    return nullptr;
}

std::string describe_type_mismatch(PyObject* object, std::string_view target) {
    std::string message;
    if (object == Py_None) {
        message = "'None' is not an instance of '";
    } else {
        PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
        Py_ssize_t size = 0;
        const char* data = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), &size) : nullptr;
        message = "'";
        if (data != nullptr) {
            message.append(data, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
            message += "<failed to extract type name>";
        }
        message += "' object is not an instance of '";
    }
    message += target;
    message += "'";
    return message;
}

PyObject* raise_type_mismatch(PyObject* object, std::string_view target) {
    raise_type_error(describe_type_mismatch(object, target));
    return nullptr;
}

std::optional<std::string> extract_text(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        raise_type_mismatch(object, "str");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(size));
}

namespace {

// numpy's boolean scalar type ("numpy.bool" since numpy 2, "numpy.bool_"
// before). A failure to read the names counts as no match.
bool is_numpy_bool_type(PyTypeObject* type) {
    PyRef module = PyRef::steal(PyType_GetModuleName(type));
    PyRef name = PyRef::steal(PyType_GetName(type));
    const bool match = module && name && PyUnicode_Check(module.get()) &&
                       PyUnicode_EqualToUTF8AndSize(module.get(), "numpy", 5) == 1 &&
                       (PyUnicode_EqualToUTF8AndSize(name.get(), "bool_", 5) == 1 ||
                        PyUnicode_EqualToUTF8AndSize(name.get(), "bool", 4) == 1);
    PyErr_Clear();
    return match;
}

}  // namespace

std::optional<bool> extract_flag(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyBool_Type) return object == Py_True;
    if (is_numpy_bool_type(type)) {
        auto to_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
        if (to_bool == nullptr) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                         reinterpret_cast<PyObject*>(type));
            return std::nullopt;
        }
        switch (to_bool(object)) {
            case 0:
                return false;
            case 1:
                return true;
            default:
                ensure_exception_set();
                return std::nullopt;
        }
    }
    raise_type_mismatch(object, "bool");
    return std::nullopt;
}

PyObject* raise_message(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

void ensure_exception_set() noexcept {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, none_set_message);
}

void raise_panic(std::string_view text) noexcept {
    PyRef type = get_panic_exception_type();
    if (!type) return;
    raise_message(type.get(), text);
}

}  // namespace corvid_py
