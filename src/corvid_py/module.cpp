// The corvid_py extension module: the StaticEmbedding class and its entry points.
//
// Its surface, written as Python:
//
//     class StaticEmbedding:          # final, no __dict__, no weak references
//         def __new__(cls, model_dir: str, normalize: bool = True) -> StaticEmbedding: ...
//         def embed_tokens(self, tokens: Sequence[int]) -> list[float]: ...
//
//     __all__ = ["StaticEmbedding"]
#include <Python.h>

#include <array>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "corvid/model/embedding_model.hpp"
#include "corvid_py/borrow_flag.hpp"
#include "corvid_py/float_list.hpp"
#include "corvid_py/glue.hpp"
#include "corvid_py/interpreter_ref.hpp"
#include "corvid_py/method_docs.hpp"
#include "corvid_py/py_ref.hpp"
#include "corvid_py/token_ids.hpp"

namespace corvid_py {

namespace {

// ---- Instance record ------------------------------------------------------

struct StaticEmbeddingObject {
    PyObject_HEAD
    corvid::EmbeddingModel model;
    BorrowFlag borrow_flag;
};

StaticEmbeddingObject* as_instance(PyObject* op) {
    return reinterpret_cast<StaticEmbeddingObject*>(op);
}

// ---- Signatures -----------------------------------------------------------

constexpr std::array<const char*, 2> constructor_parameters = {"model_dir", "normalize"};
constexpr CallSignature constructor_signature = {
    .class_name = "StaticEmbedding",
    .function_name = "__new__",
    .parameter_names = constructor_parameters,
    .required_count = 1,
};

constexpr std::array<const char*, 1> embed_tokens_parameters = {"tokens"};
constexpr CallSignature embed_tokens_signature = {
    .class_name = "StaticEmbedding",
    .function_name = "embed_tokens",
    .parameter_names = embed_tokens_parameters,
    .required_count = 1,
};

// ---- Construction and destruction -----------------------------------------

// Builds the model first, so that a failed construction allocates no object.
PyObject* StaticEmbedding_new_impl(PyTypeObject* type, std::string model_dir, bool normalize) {
    auto model = corvid::EmbeddingModel::create(std::move(model_dir), normalize);
    if (!model) return raise_message(PyExc_ValueError, model.error().render());
    PyRef no_args = PyRef::steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    PyObject* self = PyBaseObject_Type.tp_new(type, no_args.get(), nullptr);
    if (self == nullptr) return nullptr;
    StaticEmbeddingObject* instance = as_instance(self);
    new (&instance->model) corvid::EmbeddingModel(std::move(*model));
    new (&instance->borrow_flag) BorrowFlag();
    return self;
}

PyObject* StaticEmbedding_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry_frame([&]() -> PyObject* {
        std::array<PyObject*, 2> slots{};
        if (!bind_arguments(constructor_signature, args, kwargs, slots)) return nullptr;
        std::optional<std::string> model_dir = extract_text(slots[0]);
        if (!model_dir) return fail_argument("model_dir");
        bool normalize = true;
        if (slots[1] != nullptr) {
            std::optional<bool> flag = extract_flag(slots[1]);
            if (!flag) return fail_argument("normalize");
            normalize = *flag;
        }
        return StaticEmbedding_new_impl(type, std::move(*model_dir), normalize);
    });
}

// The model's destructor releases everything it owns and cannot throw, so
// nothing can escape into the interpreter from here.
void StaticEmbedding_dealloc(PyObject* op) {
    PyTypeObject* type = Py_TYPE(op);
    as_instance(op)->model.~EmbeddingModel();
    type->tp_free(op);
    Py_DECREF(type);
}

// ---- embed_tokens ---------------------------------------------------------

// Polled by the model between chunks of a long load, with the interpreter
// lock held: runs the pending signal handlers (Ctrl-C's raises
// KeyboardInterrupt) and stops the load once one of them has raised.
bool signal_handler_raised(void* /*context*/) noexcept { return PyErr_CheckSignals() != 0; }

constexpr corvid::StopCheck check_signals = {.requested = signal_handler_raised};

PyObject* StaticEmbedding_embed_tokens_impl(StaticEmbeddingObject* self, PyObject* tokens) {
    BorrowGuard borrow(self->borrow_flag);
    if (!borrow.taken()) return raise_message(PyExc_RuntimeError, "Already borrowed");
    std::optional<std::vector<std::uint32_t>> ids = extract_token_ids(tokens);
    if (!ids) return fail_argument("tokens");
    auto embedding = self->model.embed_tokens(*ids, check_signals);
    if (!embedding) {
        // A load stopped by a signal handler fails with what the handler raised.
        if (PyErr_Occurred()) return nullptr;
        return raise_message(PyExc_RuntimeError, embedding.error().message());
    }
    return to_float_list(*embedding);
}

PyObject* StaticEmbedding_embed_tokens(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return entry_frame([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!bind_arguments(embed_tokens_signature, args, nargs, kwnames, slots)) return nullptr;
        return StaticEmbedding_embed_tokens_impl(as_instance(self), slots[0]);
    });
}

// ---- Type -----------------------------------------------------------------

constexpr const char class_doc[] = "StaticEmbedding(model_dir, normalize=True)\n--\n\n";

constexpr const char embed_tokens_doc[] =
    "embed_tokens($self, tokens)\n--\n\n" CORVID_EMBED_TOKENS_DESCRIPTION;

PyMethodDef StaticEmbedding_methods[] = {
    {
        .ml_name = "embed_tokens",
        .ml_meth = reinterpret_cast<PyCFunction>(
            reinterpret_cast<void (*)()>(StaticEmbedding_embed_tokens)),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = embed_tokens_doc,
    },
    {},  // sentinel
};

PyType_Slot StaticEmbedding_slots[] = {
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_new, reinterpret_cast<void*>(StaticEmbedding_new)},
    {Py_tp_methods, StaticEmbedding_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(StaticEmbedding_dealloc)},
    {0, nullptr},  // terminator
};

PyType_Spec StaticEmbedding_spec = {
    .name = "corvid_py.StaticEmbedding",
    .basicsize = static_cast<int>(sizeof(StaticEmbeddingObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = StaticEmbedding_slots,
};

// The class type object, built by the first module exec of each interpreter
// and shared by its later ones (a re-import attaches the same type).
const InterpreterRef class_type_cell("corvid_py.StaticEmbedding");

// A failed build leaves the cell empty and is reported as RuntimeError with
// the interpreter's exception as __cause__. Empty on failure.
PyRef class_type() {
    PyRef type = class_type_cell.get([] { return PyType_FromSpec(&StaticEmbedding_spec); });
    if (type) return type;
    ensure_exception_set();
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class StaticEmbedding");
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);
    PyErr_SetRaisedException(error);
    return PyRef();
}

// ---- Module ---------------------------------------------------------------

// The module's __all__ list, created when absent. Borrowed reference, or null.
PyObject* module_all(PyObject* module, PyRef& holder) {
    PyObject* all = nullptr;
    const int found = PyObject_GetOptionalAttrString(module, "__all__", &all);
    if (found < 0) return nullptr;
    holder = PyRef::steal(all);
    if (found == 0) {
        holder = PyRef::steal(PyList_New(0));
        if (!holder || PyObject_SetAttrString(module, "__all__", holder.get()) < 0) return nullptr;
    } else if (!PyList_Check(all)) {
        return raise_type_mismatch(all, "list");
    }
    return holder.get();
}

[[noreturn, gnu::cold]] void fail_append_to_all() {
    ensure_exception_set();
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    PyRef description = PyRef::steal(PyObject_Repr(error.get()));
    const char* text = description ? PyUnicode_AsUTF8(description.get()) : nullptr;
    std::string message = "could not append __name__ to __all__: ";
    message += text != nullptr ? text : "<unprintable error>";
    PyErr_Clear();
    corvid::fail_internal(std::move(message));
}

int corvid_py_exec(PyObject* module) {
    return entry_frame([&]() -> int {
        if (!PyModule_Check(module)) {
            raise_type_mismatch(module, "module");
            return -1;
        }
        PyRef type = class_type();
        if (!type) return -1;
        watch_forks();
        PyRef all_holder;
        PyObject* all = module_all(module, all_holder);
        if (all == nullptr) return -1;
        PyRef name = PyRef::steal(PyUnicode_FromString("StaticEmbedding"));
        if (!name || PyList_Append(all, name.get()) < 0) fail_append_to_all();
        return PyObject_SetAttrString(module, "StaticEmbedding", type.get());
    });
}

PyModuleDef_Slot corvid_py_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(corvid_py_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},  // terminator
};

PyModuleDef corvid_py_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "corvid_py",
    .m_doc = "Static token embeddings: mean-pooled rows of a safetensors table.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = corvid_py_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace corvid_py

PyMODINIT_FUNC PyInit_corvid_py() {
    return PyModuleDef_Init(&corvid_py::corvid_py_module);
}
