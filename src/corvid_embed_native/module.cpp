// corvid_embed._native: the corpus tool's batch path. One call embeds a batch
// of texts into rows the caller owns, with no Python object made per token or
// per float. Private to corvid_embed; its surface, written as Python:
//
//     def table_shape(model_dir: str | bytes) -> tuple[int, int]: ...
//         # the rows every id must be below and the row width, from the
//         # weights file's header alone; ValueError for a file that breaks
//         # the format's bounds, LookupError for one without a table,
//         # RuntimeError for any other failure to read it
//
//     class Table:  # a model, loaded on construction
//         def __new__(cls, model_dir, normalize, encode=None, prefix=(), suffix=(),
//                     word_bytes=64 << 20) -> Table: ...
//         rows: int; columns: int; word_bytes_held: int
//         def embed_texts(self, texts: Sequence[str], out) -> tuple[int, int | None] | None: ...
//         def embed_ids(self, id_lists: Sequence[Sequence[int]], out) -> tuple[int, int] | None: ...
//
// embed_texts splits each text at U+0020 as str.split(" ") does and gives it
// prefix + the ids of its pieces + suffix; `encode` is called once a batch
// with the pieces not yet kept, as a list of str, and returns their ids.
// Both write the rows of the texts in order into `out` (bytes or float32,
// writable, contiguous) and stop before the first text with an id outside
// the table, returning (its index, the id); embed_texts returns (index, None)
// for a text that is not valid Unicode (a lone surrogate). None: all written.
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "corvid/load/internal_failure.hpp"
#include "corvid/load/load_error.hpp"
#include "corvid/load/weights_reader.hpp"
#include "corvid/model/embedding_model.hpp"
#include "corvid_embed_native/call_lock.hpp"
#include "corvid_embed_native/id_batch.hpp"
#include "corvid_embed_native/output_rows.hpp"
#include "corvid_embed_native/word_table.hpp"
#include "corvid_py/py_ref.hpp"

namespace corvid_embed {

namespace {

using corvid_py::PyRef;

// No C++ exception may reach the interpreter: each entry point's body runs in
// here, and what it throws becomes a Python exception.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& failure) {
        PyErr_SetString(PyExc_RuntimeError, failure.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "an unknown C++ exception");
    }
    return nullptr;
}

// A Python int in [0, 2^32): a token id.
bool to_id(PyObject* item, std::uint32_t& id) {
    const unsigned long value = PyLong_AsUnsignedLong(item);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    if (value > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "a token id must be below 2**32");
        return false;
    }
    id = static_cast<std::uint32_t>(value);
    return true;
}

// Appends the ids of a sequence of ints.
bool append_ids(PyObject* sequence, std::vector<std::uint32_t>& ids) {
    PyRef fast = PyRef::steal(PySequence_Fast(sequence, "token ids must be a sequence of int"));
    if (!fast) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.get());
    PyObject** items = PySequence_Fast_ITEMS(fast.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::uint32_t id = 0;
        if (!to_id(items[i], id)) return false;
        ids.push_back(id);
    }
    return true;
}

PyObject* outside_result(const OutsideId& outside) {
    return Py_BuildValue("(nk)", static_cast<Py_ssize_t>(outside.text), static_cast<unsigned long>(outside.id));
}

// ---- table_shape ------------------------------------------------------------------------------

PyObject* table_shape(PyObject*, PyObject* argument) {
    return guarded([&]() -> PyObject* {
        PyObject* converted = nullptr;
        if (!PyUnicode_FSConverter(argument, &converted)) return nullptr;
        PyRef model_dir = PyRef::steal(converted);
        const std::filesystem::path path =
            corvid::weights_file_path(std::string_view(PyBytes_AS_STRING(converted),
                                                       static_cast<std::size_t>(PyBytes_GET_SIZE(converted))));
        std::optional<std::expected<corvid::TableHeader, corvid::HeaderFailure>> header;
        {
            WithoutInterpreterLock unlocked;
            header = corvid::read_table_header(path);
        }
        if (!*header) {
            const corvid::HeaderFailure& failure = header->error();
            PyObject* type = failure.broken ? PyExc_ValueError
                             : failure.error.message() == corvid::tensor_not_found().message() ? PyExc_LookupError
                                                                                                : PyExc_RuntimeError;
            PyErr_SetString(type, failure.error.message().c_str());
            return nullptr;
        }
        const corvid::TensorDetails& details = (*header)->details;
        const std::uint64_t rows =
            corvid::rows_inside(details, details.data_offsets[1] - details.data_offsets[0]);
        return Py_BuildValue("(KK)", static_cast<unsigned long long>(rows),
                             static_cast<unsigned long long>(details.shape[1]));
    });
}

// ---- Table ------------------------------------------------------------------------------------

// What embed_texts needs to turn texts into ids: the tokenizer's calls and
// the pieces it has encoded.
struct Words {
    PyRef encode;
    std::vector<std::uint32_t> prefix;
    std::vector<std::uint32_t> suffix;
    WordTable table;
};

struct TableObject {
    PyObject_HEAD
    std::optional<corvid::EmbeddingModel> model;
    std::optional<Words> words;
    CallGate gate;
    IdBatch batch;  // reused from call to call, under the gate
};

TableObject* as_table(PyObject* self) { return reinterpret_cast<TableObject*>(self); }

PyObject* Table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"model_dir", "normalize", "encode", "prefix", "suffix", "word_bytes", nullptr};
        PyObject* converted = nullptr;
        int normalize = 0;
        PyObject* encode = Py_None;
        PyObject* prefix = nullptr;
        PyObject* suffix = nullptr;
        Py_ssize_t word_bytes = Py_ssize_t{64} << 20;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&p|OOOn:Table", const_cast<char**>(keywords),
                                         PyUnicode_FSConverter, &converted, &normalize, &encode, &prefix, &suffix,
                                         &word_bytes)) {
            return nullptr;
        }
        PyRef model_dir = PyRef::steal(converted);
        if (word_bytes < 0) {
            PyErr_SetString(PyExc_ValueError, "word_bytes must not be negative");
            return nullptr;
        }
        std::optional<Words> words;
        if (encode != Py_None) {
            if (!PyCallable_Check(encode)) {
                PyErr_SetString(PyExc_TypeError, "encode must be callable");
                return nullptr;
            }
            words.emplace(PyRef::borrow(encode), std::vector<std::uint32_t>{}, std::vector<std::uint32_t>{},
                          WordTable(static_cast<std::size_t>(word_bytes)));
            if ((prefix != nullptr && !append_ids(prefix, words->prefix)) ||
                (suffix != nullptr && !append_ids(suffix, words->suffix))) {
                return nullptr;
            }
        }
        auto model = corvid::EmbeddingModel::create(
            std::string(PyBytes_AS_STRING(converted), static_cast<std::size_t>(PyBytes_GET_SIZE(converted))),
            normalize != 0);
        if (!model) {
            PyErr_SetString(PyExc_ValueError, model.error().render().c_str());
            return nullptr;
        }
        std::optional<corvid::LoadError> failed;
        {
            WithoutInterpreterLock unlocked;
            if (auto loaded = model->ensure_loaded(); !loaded) failed = std::move(loaded.error());
        }
        if (failed) {
            PyErr_SetString(PyExc_RuntimeError, failed->message().c_str());
            return nullptr;
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        TableObject* table = as_table(self);
        new (&table->model) std::optional<corvid::EmbeddingModel>(std::move(*model));
        new (&table->words) std::optional<Words>(std::move(words));
        new (&table->gate) CallGate();
        new (&table->batch) IdBatch();
        return self;
    });
}

int Table_traverse(PyObject* self, visitproc visit, void* arg) {
    TableObject* table = as_table(self);
    if (table->words) Py_VISIT(table->words->encode.get());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int Table_clear(PyObject* self) {
    TableObject* table = as_table(self);
    if (table->words) table->words->encode = PyRef();
    return 0;
}

void Table_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    TableObject* table = as_table(self);
    table->batch.~IdBatch();
    table->gate.~CallGate();
    table->words.~optional();
    table->model.~optional();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // a heap type's instances hold a reference to it
}

// Embeds the table's batch into `out` with the interpreter lock released.
std::optional<OutsideId> embed_unlocked(TableObject* table, std::byte* out) {
    WithoutInterpreterLock unlocked;
    return embed_batch(*table->model, table->batch, out);
}

// Where each piece of a batch's texts finds its ids: kept in the word table,
// or, when `fresh` is set, the batch's fresh piece of that index.
struct PieceIds {
    std::span<const std::uint32_t> kept;
    std::optional<std::size_t> fresh;
};

// The ids of the pieces `encode` was given, checked to be one sequence of ids
// for each.
bool encode_fresh(PyObject* encode, const std::vector<std::string_view>& pieces,
                  std::vector<std::vector<std::uint32_t>>& ids) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!list) return false;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        PyObject* piece =
            PyUnicode_DecodeUTF8(pieces[i].data(), static_cast<Py_ssize_t>(pieces[i].size()), "strict");
        if (piece == nullptr) return false;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), piece);
    }
    PyRef result = PyRef::steal(PyObject_CallOneArg(encode, list.get()));
    if (!result) return false;
    PyRef fast = PyRef::steal(PySequence_Fast(result.get(), "encode must return a sequence of id sequences"));
    if (!fast) return false;
    if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(fast.get())) != pieces.size()) {
        PyErr_SetString(PyExc_ValueError, "encode returned another number of id sequences than it was given pieces");
        return false;
    }
    ids.assign(pieces.size(), {});
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (!append_ids(PySequence_Fast_GET_ITEM(fast.get(), static_cast<Py_ssize_t>(i)), ids[i])) return false;
    }
    return true;
}

// What every batch call starts with: its items (the first argument) as a
// tuple of its own, so that they stay alive whatever a callback does; the
// table entered; and the output (the second argument) held, with room for a
// row an item.
struct BatchCall {
    PyRef items;
    std::size_t count = 0;
    CallLock lock;
    OutputRows out;

    // False, with an exception set, when the call cannot start.
    [[nodiscard]] bool begin(TableObject* table, PyObject* const* args, Py_ssize_t nargs, const char* usage) {
        if (nargs != 2) {
            PyErr_Format(PyExc_TypeError, "%s takes 2 arguments", usage);
            return false;
        }
        items = PyRef::steal(PySequence_Tuple(args[0]));
        if (!items) return false;
        count = static_cast<std::size_t>(PyTuple_GET_SIZE(items.get()));
        return lock.enter(table->gate) && out.hold(args[1], count, table->model->columns());
    }

    PyObject* item(std::size_t index) const { return PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(index)); }
};

PyObject* Table_embed_texts(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        TableObject* table = as_table(self);
        // (A table whose encode the garbage collector took from a cycle has none either.)
        if (!table->words || !table->words->encode) {
            PyErr_SetString(PyExc_TypeError, "this table was made without encode: use embed_ids");
            return nullptr;
        }
        // The texts' bytes, which the pieces point into, live in the call's tuple.
        BatchCall call;
        if (!call.begin(table, args, nargs, "embed_texts(texts, out)")) return nullptr;
        const std::size_t count = call.count;
        Words& words = *table->words;

        // Each text's pieces, found in the word table or gathered as fresh.
        std::vector<PieceIds> pieces;
        std::vector<std::size_t> text_ends;
        std::vector<std::string_view> fresh;
        std::unordered_map<std::string_view, std::size_t> fresh_index;
        std::vector<std::string_view> text_pieces;
        std::vector<WordTable::Found> found;
        std::size_t valid = count;  // texts before the first that is not valid Unicode
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* text = call.item(i);
            if (!PyUnicode_Check(text)) {
                PyErr_Format(PyExc_TypeError, "texts[%zu] must be str, not %.200s", i, Py_TYPE(text)->tp_name);
                return nullptr;
            }
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(text, &size);
            if (data == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
                PyErr_Clear();
                valid = i;
                break;
            }
            const std::string_view whole(data, static_cast<std::size_t>(size));
            text_pieces.clear();
            for (std::size_t start = 0;;) {
                const std::size_t space = whole.find(' ', start);
                text_pieces.push_back(whole.substr(start, space == std::string_view::npos ? space : space - start));
                if (space == std::string_view::npos) break;
                start = space + 1;
            }
            words.table.find_all(text_pieces, found);
            for (std::size_t j = 0; j < text_pieces.size(); ++j) {
                if (found[j]) {
                    pieces.push_back({*found[j], std::nullopt});
                } else {
                    const auto [known, added] = fresh_index.try_emplace(text_pieces[j], fresh.size());
                    if (added) fresh.push_back(text_pieces[j]);
                    pieces.push_back({{}, known->second});
                }
            }
            text_ends.push_back(pieces.size());
        }
        std::vector<std::vector<std::uint32_t>> fresh_ids;
        if (!fresh.empty() && !encode_fresh(words.encode.get(), fresh, fresh_ids)) return nullptr;

        IdBatch& batch = table->batch;
        batch.clear();
        std::size_t piece = 0;
        for (const std::size_t end : text_ends) {
            batch.ids.insert(batch.ids.end(), words.prefix.begin(), words.prefix.end());
            for (; piece < end; ++piece) {
                const std::span<const std::uint32_t> ids =
                    pieces[piece].fresh ? fresh_ids[*pieces[piece].fresh] : pieces[piece].kept;
                batch.ids.insert(batch.ids.end(), ids.begin(), ids.end());
            }
            batch.ids.insert(batch.ids.end(), words.suffix.begin(), words.suffix.end());
            batch.end_text();
        }
        // Kept only now: keeping may start the table afresh, which would
        // take away ids the batch still points to.
        for (std::size_t i = 0; i < fresh.size(); ++i) words.table.keep(fresh[i], fresh_ids[i]);

        if (const auto outside = embed_unlocked(table, call.out.data())) return outside_result(*outside);
        if (valid < count) return Py_BuildValue("(nO)", static_cast<Py_ssize_t>(valid), Py_None);
        Py_RETURN_NONE;
    });
}

PyObject* Table_embed_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        TableObject* table = as_table(self);
        BatchCall call;
        if (!call.begin(table, args, nargs, "embed_ids(id_lists, out)")) return nullptr;
        IdBatch& batch = table->batch;
        batch.clear();
        for (std::size_t i = 0; i < call.count; ++i) {
            if (!append_ids(call.item(i), batch.ids)) return nullptr;
            batch.end_text();
        }
        if (const auto outside = embed_unlocked(table, call.out.data())) return outside_result(*outside);
        Py_RETURN_NONE;
    });
}

PyObject* Table_rows(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(as_table(self)->model->rows());
}

PyObject* Table_columns(PyObject* self, void*) { return PyLong_FromSize_t(as_table(self)->model->columns()); }

PyObject* Table_word_bytes_held(PyObject* self, void*) {
    const TableObject* table = as_table(self);
    return PyLong_FromSize_t(table->words ? table->words->table.held_bytes() : 0);
}

PyMethodDef table_methods[] = {
    {"embed_texts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Table_embed_texts)), METH_FASTCALL,
     "Embeds texts into out's rows; None, or (index, id) at the first failing text."},
    {"embed_ids", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Table_embed_ids)), METH_FASTCALL,
     "Embeds lists of token ids into out's rows; None, or (index, id) at the first id outside the table."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"rows", Table_rows, nullptr, "Every id must be below this.", nullptr},
    {"columns", Table_columns, nullptr, "The width of a row.", nullptr},
    {"word_bytes_held", Table_word_bytes_held, nullptr, "What the kept pieces cost, about.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>("A model's table, loaded on construction, that embeds batches into rows.")},
    {Py_tp_new, reinterpret_cast<void*>(Table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Table_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Table_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Table_clear)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
    {0, nullptr},
};

PyType_Spec table_spec = {
    "corvid_embed._native.Table", static_cast<int>(sizeof(TableObject)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, table_slots,
};

// ---- Module -----------------------------------------------------------------------------------

PyMethodDef module_methods[] = {
    {"table_shape", table_shape, METH_O, "(rows, columns) of a model directory's table, from its header."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "corvid_embed._native", "The corpus tool's native batch path.", -1, module_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace corvid_embed

PyMODINIT_FUNC PyInit__native() {
    using namespace corvid_embed;
    PyObject* module = PyModule_Create(&module_definition);
    if (module == nullptr) return nullptr;
    if (PyModule_Add(module, "Table", PyType_FromSpec(&table_spec)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
