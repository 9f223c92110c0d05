// The bulk entries: Arrow buffers in, columns out as bytes, the threads
// working with the interpreter's lock released.
#include "batch_entries.hpp"

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bulk.hpp"
#include "dax_parser/dax_parser.hpp"
#include "scan_splitter.hpp"
#include "syntax/node_classes.hpp"
#include "syntax/tree_builder.hpp"
#include "syntax_boundary.hpp"
#include "syntax_options.hpp"

namespace dax::python::batch {

namespace {

using dax::batch::CheckColumns;
using dax::batch::ParseSettings;
using dax::batch::ReferenceColumns;
using dax::batch::TextColumn;
using dax::batch::TextKind;

// A buffer held for the length of a call: the exporter stays alive and
// unchanged until it is released.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* object, const char* what) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) {
            PyErr_Format(PyExc_TypeError, "the %s is not a buffer", what);
            return false;
        }
        held_ = true;
        return true;
    }
    const char* data() const noexcept { return held_ ? static_cast<const char*>(view_.buf) : nullptr; }
    std::size_t size() const noexcept { return held_ ? static_cast<std::size_t>(view_.len) : 0; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The arguments every bulk entry takes.
struct Texts {
    HeldBuffer offsets, data, validity;
    std::optional<TextColumn> column;
    ParseSettings settings;
    unsigned threads = 1;
};

bool to_size(PyObject* object, std::size_t& out, const char* what) {
    const Py_ssize_t value = PyLong_AsSsize_t(object);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative", what);
        return false;
    }
    out = static_cast<std::size_t>(value);
    return true;
}

// Checks that the offsets stay in order and inside the data, so that no
// text read from them can leave the buffers.
bool offsets_valid(const char* offsets, bool wide, std::size_t first, std::size_t length, std::size_t data_size) {
    std::int64_t previous = 0;
    for (std::size_t i = first; i <= first + length; ++i) {
        std::int64_t value = 0;
        if (wide) {
            std::memcpy(&value, offsets + i * 8, 8);
        } else {
            std::int32_t narrow = 0;
            std::memcpy(&narrow, offsets + i * 4, 4);
            value = narrow;
        }
        if (value < 0 || static_cast<std::uint64_t>(value) > data_size || (i > first && value < previous)) return false;
        previous = value;
    }
    return true;
}

bool bind(const char* name, PyObject* const* args, Py_ssize_t nargs, Texts& texts) {
    if (nargs != 9) {
        PyErr_Format(PyExc_TypeError, "%s() takes 9 positional arguments (%zd given)", name, nargs);
        return false;
    }
    const int wide = PyObject_IsTrue(args[1]);
    if (wide < 0) return false;
    std::size_t first = 0, length = 0, kind = 0, threads = 0;
    if (!texts.offsets.acquire(args[0], "offsets buffer") || !texts.data.acquire(args[2], "data buffer")) return false;
    if (args[3] != Py_None && !texts.validity.acquire(args[3], "validity buffer")) return false;
    if (!to_size(args[4], first, "first") || !to_size(args[5], length, "length")) return false;
    const long options = PyLong_AsLong(args[6]);
    if (options == -1 && PyErr_Occurred()) return false;
    if (!to_size(args[7], kind, "kind") || !to_size(args[8], threads, "threads")) return false;
    if (kind > 2) {
        PyErr_SetString(PyExc_ValueError, "kind must be 0 (expression), 1 (query) or 2 (function)");
        return false;
    }
    const std::size_t width = wide ? 8 : 4;
    if (length > (static_cast<std::size_t>(PY_SSIZE_T_MAX) / width) - first - 1 ||
        texts.offsets.size() < (first + length + 1) * width ||
        (args[3] != Py_None && texts.validity.size() < (first + length + 7) / 8)) {
        PyErr_SetString(PyExc_ValueError, "the buffers are shorter than the texts they describe");
        return false;
    }
    const bool valid = without_lock(
        [&] { return offsets_valid(texts.offsets.data(), wide != 0, first, length, texts.data.size()); });
    if (!valid) {
        PyErr_SetString(PyExc_ValueError, "the offsets of the texts are out of order or outside their data");
        return false;
    }
    texts.column.emplace(texts.offsets.data(), wide != 0, texts.data.data(),
                         reinterpret_cast<const std::uint8_t*>(texts.validity.data()), first, length);
    texts.settings.kind = static_cast<TextKind>(kind);
    texts.settings.dialect = dialect_of(options);
    texts.settings.grammar = grammar_of(options);
    texts.threads = static_cast<unsigned>(std::min<std::size_t>(threads == 0 ? 1 : threads, 1024));
    return true;
}

template <class T>
PyObject* bytes_of(const std::vector<T>& values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                     static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

PyObject* bytes_of(const std::string& text) {
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A tuple of new references, or null when one is null.
PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    std::vector<Ref> owned;
    for (PyObject* item : items) owned.emplace_back(item);
    for (const Ref& item : owned)
        if (!item) return nullptr;
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(owned.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < owned.size(); ++i)
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), owned[i].release());
    return tuple.release();
}

}  // namespace

PyObject* check_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        Texts texts;
        if (!bind("check_texts", args, nargs, texts)) return nullptr;
        CheckColumns out =
            without_lock([&] { return dax::batch::check_texts(*texts.column, texts.settings, texts.threads); });
        return tuple_of({bytes_of(out.status), bytes_of(out.line), bytes_of(out.column), bytes_of(out.message_offsets),
                         bytes_of(out.messages)});
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* references_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        Texts texts;
        if (!bind("references_texts", args, nargs, texts)) return nullptr;
        ReferenceColumns out = without_lock(
            [&] { return dax::batch::references_of_texts(*texts.column, texts.settings, texts.threads); });
        return tuple_of({bytes_of(out.index), bytes_of(out.kind), bytes_of(out.start), bytes_of(out.end),
                         bytes_of(out.line), bytes_of(out.column), bytes_of(out.parent), bytes_of(out.argument),
                         bytes_of(out.target), bytes_of(out.name_offsets), bytes_of(out.names),
                         bytes_of(out.table_offsets), bytes_of(out.tables), bytes_of(out.has_table),
                         bytes_of(out.function_offsets), bytes_of(out.functions), bytes_of(out.has_function),
                         bytes_of(out.level_lists), bytes_of(out.level_offsets), bytes_of(out.levels)});
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

namespace {

// One text's parse, kept until its objects are built.
struct Parsed {
    bool null = false;
    std::optional<DaxError> error;
    std::optional<Expr> expr;
    std::optional<Query> query;
    std::optional<definition::Function> function;
};

void parse_one(std::string_view text, const ParseSettings& settings, Parsed& out) {
    switch (settings.kind) {
        case TextKind::Query: {
            auto result = parse_query_with_dialect(text, settings.dialect, settings.grammar);
            if (result) out.query.emplace(std::move(result).value());
            else out.error = std::move(result).error();
            return;
        }
        case TextKind::Function: {
            auto result = parse_function_with_dialect(text, settings.dialect, settings.grammar);
            if (result) out.function.emplace(std::move(result).value());
            else out.error = std::move(result).error();
            return;
        }
        case TextKind::Expression:
            break;
    }
    auto result = parse_expression_with_dialect(text, settings.dialect, settings.grammar);
    if (result) out.expr.emplace(std::move(result).value());
    else out.error = std::move(result).error();
}

}  // namespace

PyObject* parse_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (!dax::python::classes_registered()) {
            PyErr_SetString(PyExc_RuntimeError, "quarrow_dax.syntax has not registered its classes");
            return nullptr;
        }
        Texts texts;
        if (!bind("parse_texts", args, nargs, texts)) return nullptr;
        const TextColumn& column = *texts.column;
        std::vector<Parsed> parsed(column.size());
        without_lock([&] {
            dax::batch::parallel_runs(column.size(), 16, texts.threads, [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    const std::optional<std::string_view> text = column[i];
                    if (!text) parsed[i].null = true;
                    else parse_one(*text, texts.settings, parsed[i]);
                }
            });
            return 0;
        });
        Ref list(PyList_New(static_cast<Py_ssize_t>(column.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < column.size(); ++i) {
            Parsed& one = parsed[i];
            PyObject* item = nullptr;
            if (one.null) {
                Py_INCREF(Py_None);
                item = Py_None;
            } else if (one.error) {
                item = error_tuple(*one.error);
            } else {
                const std::string_view text = *column[i];
                Ref source(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
                if (!source) return nullptr;
                TreeBuilder builder(source.get());
                if (one.expr) item = builder.expr(*one.expr);
                else if (one.query) item = builder.query(*one.query);
                else item = builder.function(*one.function, "");
            }
            // The tree is no longer needed.
            one.expr.reset();
            one.query.reset();
            one.function.reset();
            one.error.reset();
            if (item == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

// --- the scanner result's splitter ---------------------------------------------

namespace {

constexpr const char* splitter_capsule_name = "quarrow_dax._syntax.scan_splitter";

void delete_splitter(PyObject* capsule) noexcept {
    delete static_cast<dax::batch::ScanSplitter*>(PyCapsule_GetPointer(capsule, splitter_capsule_name));
}

dax::batch::ScanSplitter* splitter_of(PyObject* object) {
    return static_cast<dax::batch::ScanSplitter*>(PyCapsule_GetPointer(object, splitter_capsule_name));
}

PyObject* optional_bytes(bool present, const std::string& text) {
    if (!present) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    return bytes_of(text);
}

PyObject* item_list(std::vector<dax::batch::ScanItem> items) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const dax::batch::ScanItem& item = items[i];
        const char* kind = item.kind == dax::batch::ScanItem::Kind::Workspace ? "workspace"
                           : item.kind == dax::batch::ScanItem::Kind::Dataset ? "dataset"
                                                                              : "problem";
        PyObject* message = nullptr;
        if (item.kind == dax::batch::ScanItem::Kind::Problem) {
            message = PyUnicode_FromStringAndSize(item.message.data(), static_cast<Py_ssize_t>(item.message.size()));
        } else {
            Py_INCREF(Py_None);
            message = Py_None;
        }
        PyObject* tuple = tuple_of({PyUnicode_FromString(kind), PyLong_FromLongLong(item.workspace),
                                    PyLong_FromUnsignedLongLong(item.start), PyLong_FromUnsignedLongLong(item.end),
                                    PyLong_FromUnsignedLongLong(item.line), PyLong_FromUnsignedLongLong(item.column),
                                    optional_bytes(item.has_name, item.name), optional_bytes(item.has_id, item.id),
                                    message});
        if (tuple == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list.release();
}

}  // namespace

PyObject* scan_splitter(PyObject*, PyObject* const*, Py_ssize_t nargs) {
    try {
        if (nargs != 0) {
            PyErr_SetString(PyExc_TypeError, "scan_splitter() takes no arguments");
            return nullptr;
        }
        auto splitter = std::make_unique<dax::batch::ScanSplitter>();
        PyObject* capsule = PyCapsule_New(splitter.get(), splitter_capsule_name, delete_splitter);
        if (capsule != nullptr) splitter.release();  // the capsule owns it now
        return capsule;
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* scan_feed(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "scan_feed() takes (splitter, buffer)");
            return nullptr;
        }
        dax::batch::ScanSplitter* splitter = splitter_of(args[0]);
        if (splitter == nullptr) return nullptr;
        HeldBuffer bytes;
        if (!bytes.acquire(args[1], "chunk")) return nullptr;
        auto items = without_lock([&] {
            splitter->feed(std::string_view(bytes.data(), bytes.size()));
            return splitter->take();
        });
        return item_list(std::move(items));
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* scan_finish(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 1) {
            PyErr_SetString(PyExc_TypeError, "scan_finish() takes (splitter)");
            return nullptr;
        }
        dax::batch::ScanSplitter* splitter = splitter_of(args[0]);
        if (splitter == nullptr) return nullptr;
        splitter->finish();
        return item_list(splitter->take());
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace dax::python::batch
