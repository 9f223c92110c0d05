// The extension module `_native`, the exact JSON results of the parser.
// Binds and converts the one argument `input`, runs a library entry, hands the
// result back as a str of JSON text, and turns every failure into an exception.
#define PY_SSIZE_T_CLEAN
// Stable ABI of 3.11: one build serves every later interpreter. The build
// passes the same value; the guard keeps the two from clashing.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#include <Python.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "dax_parser/dax_parser.hpp"
#include "json_writer.hpp"
#include "py_ref.hpp"

namespace {

using dax::python::Ref;

// --- process-wide caches ----------------------------------------------------
// Created on first use under the interpreter lock and kept for the life of the
// process, so they are never released.

struct InternedName {
    const char* text;
    PyObject* object = nullptr;
};

InternedName dunder_name{"__name__"};
InternedName dunder_all{"__all__"};
InternedName add_note_name{"add_note"};

// Returns a borrowed reference, or NULL with an exception set.
PyObject* interned(InternedName& name) {
    if (name.object == nullptr) {
        PyObject* text = PyUnicode_FromString(name.text);
        if (text == nullptr) return nullptr;
        PyUnicode_InternInPlace(&text);
        name.object = text;
    }
    return name.object;
}

PyObject* fault_class = nullptr;

constexpr const char* fault_doc =
    "Raised when the native module breaks one of its own invariants.\n\n"
    "It derives from BaseException, so that `except Exception` does not hide it.";

// --- failures ---------------------------------------------------------------

// Leaving a fault unreported would let the interpreter run on with a NULL and
// no exception, which is worse than stopping.
[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

// Raises an internal fault as the process's fault exception, `message` its
// only argument. Aborts when even that cannot be done.
void raise_fault(std::string_view message) noexcept {
    if (fault_class == nullptr) {
        fault_class = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", fault_doc, PyExc_BaseException, nullptr);
        if (fault_class == nullptr) abort_at_boundary();
    }
    // "replace": what() of a foreign exception is not promised to be UTF-8.
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) abort_at_boundary();
    PyErr_SetObject(fault_class, text.get());
}

// Turns the C++ exception being handled into the pending Python exception.
void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {  // dax::InternalFault and anything else from the C++ side
        raise_fault(e.what());
    } catch (...) {
        raise_fault("unknown C++ exception");
    }
}

// Raises `type` with `text` as its only argument (a str, so `str(exc)` is the text).
std::nullptr_t raise_text(PyObject* type, std::string_view text) {
    Ref message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

// Raises TypeError with a message made by PyUnicode_FromFormat.
template <class... Args>
std::nullptr_t type_error(const char* format, Args... args) {
    Ref message(PyUnicode_FromFormat(format, args...));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return nullptr;
}

// "'int' object is not an instance of 'str'", with None and an unreadable
// type name spelled as callers of the module expect.
std::nullptr_t raise_not_instance(PyObject* value, const char* expected) {
    if (value == Py_None) return type_error("'None' is not an instance of '%s'", expected);
    Ref qualname(PyType_GetQualName(Py_TYPE(value)));
    if (!qualname) {
        PyErr_Clear();
        return type_error("'<failed to extract type name>' object is not an instance of '%s'", expected);
    }
    return type_error("'%U' object is not an instance of '%s'", qualname.get(), expected);
}

// Notes the pending exception as caused by `input`. A note that cannot be
// added is dropped: the original exception matters more than its note.
void add_input_note() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        PyObject* method = interned(add_note_name);
        Ref note(method ? PyUnicode_FromString("while processing 'input'") : nullptr);
        Ref returned(note ? PyObject_CallMethodObjArgs(value, method, note.get(), nullptr) : nullptr);
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

// --- arguments --------------------------------------------------------------

// Binds the one parameter `input` from a fast call. Returns a borrowed
// reference, or NULL with TypeError set; `name` is the function's ml_name.
PyObject* bind_input(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Too many positionals is reported before any keyword is looked at.
    if (nargs > 1) return type_error("%s() takes 1 positional arguments but %zd were given", name, nargs);
    PyObject* input = nargs == 1 ? args[0] : nullptr;

    const Py_ssize_t keyword_count = kwnames ? PyTuple_Size(kwnames) : 0;
    if (keyword_count < 0) return nullptr;
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
        PyObject* keyword = PyTuple_GetItem(kwnames, i);
        if (keyword == nullptr) return nullptr;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
        if (utf8 == nullptr) PyErr_Clear();  // unreadable names are simply not "input"
        if (utf8 == nullptr || std::string_view(utf8, static_cast<std::size_t>(size)) != "input")
            return type_error("%s() got an unexpected keyword argument '%S'", name, keyword);
        if (input != nullptr) return type_error("%s() got multiple values for argument 'input'", name);
        input = args[nargs + i];
    }
    if (input == nullptr) return type_error("%s() missing 1 required positional argument: 'input'", name);
    return input;
}

// The UTF-8 bytes of `input`, read in place where the str keeps them, or
// nothing with an exception set that carries the note about `input`.
std::optional<std::string_view> convert_input(PyObject* input) {
    if (!(PyType_GetFlags(Py_TYPE(input)) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
        raise_not_instance(input, "str");
        add_input_note();
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(input, &size);  // fails on a lone surrogate
    if (utf8 == nullptr) {
        add_input_note();
        return std::nullopt;
    }
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

// --- call frame -------------------------------------------------------------

// Runs one library entry and writes its result as JSON. The result value dies
// when this returns, so the tree and the Python str are never held together.
using Runner = std::optional<dax::DaxError> (*)(std::string_view, dax::json::Buffer&);

template <auto entry, auto write>
std::optional<dax::DaxError> run(std::string_view text, dax::json::Buffer& out) {
    auto result = entry(text);
    if (!result) return std::move(result).error();
    write(out, result.value(), text);
    return std::nullopt;
}

// The writers in one shape; only tokens read their payloads from the input.
void write_tokens(dax::json::Buffer& out, const dax::TokenVector& tokens, std::string_view input) {
    dax::json::write_tokens(out, tokens, input);
}
void write_expr(dax::json::Buffer& out, const dax::Expr& expr, std::string_view) { dax::json::write_expr(out, expr); }
void write_query(dax::json::Buffer& out, const dax::Query& query, std::string_view) {
    dax::json::write_query(out, query);
}

PyObject* call_frame(const char* name, Runner runner, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    try {
        PyObject* input = bind_input(name, args, nargs, kwnames);
        if (input == nullptr) return nullptr;
        const std::optional<std::string_view> text = convert_input(input);
        if (!text) return nullptr;

        dax::json::Buffer out;
        if (std::optional<dax::DaxError> error = runner(*text, out)) {
            const std::string display = error->display();
            error.reset();
            return raise_text(PyExc_ValueError, display);
        }
        PyObject* result = PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
        if (result == nullptr) {
            PyErr_WriteUnraisable(nullptr);
            raise_fault("PyObject pointer is null");
        }
        return result;
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* parse_expression_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame("parse_expression", run<&dax::parse_expression, &write_expr>, args, nargs, kwnames);
}

PyObject* parse_query_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame("parse_query", run<&dax::parse_query, &write_query>, args, nargs, kwnames);
}

PyObject* lex_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame("lex", run<&dax::lex, &write_tokens>, args, nargs, kwnames);
}

// --- module -----------------------------------------------------------------

// PyMethodDef stores every entry as PyCFunction; the flags tell the
// interpreter the real signature. The detour through void(*)() keeps the
// compiler from warning about the deliberate cast.
template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// METH_STATIC makes the interpreter pass a null self and report __self__ as None.
constexpr int entry_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

// Added in this order, which is also the order of __all__. Each doc string is
// a text signature only, so __doc__ is None and __text_signature__ "(input)".
PyMethodDef function_records[] = {
    {"parse_expression", as_cfunction(parse_expression_entry), entry_flags, "parse_expression(input)\n--\n\n"},
    {"parse_query", as_cfunction(parse_query_entry), entry_flags, "parse_query(input)\n--\n\n"},
    {"lex", as_cfunction(lex_entry), entry_flags, "lex(input)\n--\n\n"},
};

// The module's __all__, created empty when missing. New reference or NULL.
PyObject* module_all(PyObject* module) {
    PyObject* key = interned(dunder_all);
    if (key == nullptr) return nullptr;
    Ref all(PyObject_GetAttr(module, key));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttr(module, key, all.get()) < 0) return nullptr;
    } else if (!PyList_Check(all.get())) {
        return raise_not_instance(all.get(), "list");
    }
    return all.release();
}

int add_functions(PyObject* module) {
    if (!PyModule_Check(module)) {
        raise_not_instance(module, "module");
        return -1;
    }
    for (PyMethodDef& record : function_records) {
        Ref function;
        {
            Ref module_name(PyModule_GetNameObject(module));
            if (!module_name) return -1;
            // The name object becomes __module__: the full dotted import name.
            function.reset(PyCMethod_New(&record, module, module_name.get(), nullptr));
            if (!function) return -1;
        }
        PyObject* name_key = interned(dunder_name);
        if (name_key == nullptr) return -1;
        Ref name(PyObject_GetAttr(function.get(), name_key));
        if (!name) return -1;
        if (!PyUnicode_Check(name.get())) {
            raise_not_instance(name.get(), "str");
            return -1;
        }
        Ref all(module_all(module));
        if (!all) return -1;
        if (PyList_Append(all.get(), name.get()) < 0) {
            PyErr_Clear();
            raise_fault("could not append __name__ to __all__");
            return -1;
        }
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return -1;
    }
    return 0;
}

int exec_module(PyObject* module) noexcept {
    try {
        return add_functions(module);
    } catch (...) {
        raise_current_exception();
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_native",     // m_name
    "",            // m_doc: an empty str, not None
    0,             // m_size: the module keeps no state
    nullptr,       // m_methods: the exec slot adds the functions
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit__native() {
    return PyModuleDef_Init(&module_definition);
}
