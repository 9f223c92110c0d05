// The extension module `_syntax`: the parser's trees and tokens as Python
// objects, for the tools of `quarrow_dax.syntax`. Its functions are private
// to that package, which registers the node classes once at import and wraps
// each entry with the public signature and errors.
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "batch/batch_entries.hpp"
#include "dax_parser/dax_parser.hpp"
#include "formatter/format_entries.hpp"
#include "json/json_entries.hpp"
#include "located.hpp"
#include "node_classes.hpp"
#include "py_ref.hpp"
#include "reference_objects.hpp"
#include "references.hpp"
#include "syntax_boundary.hpp"
#include "syntax_options.hpp"
#include "tree_builder.hpp"
#include "tree_records.hpp"

namespace {

using dax::python::Ref;

using dax::python::error_tuple;
using dax::python::raise_current_exception;
using dax::python::without_lock;

using dax::python::dialect_of;
using dax::python::grammar_of;
using dax::python::option_comments;
using dax::python::option_engine_grammar;
using dax::python::option_semicolon_lists;

// --- arguments --------------------------------------------------------------

struct Call {
    PyObject* text;  // borrowed
    std::string_view utf8;
    long options;
};

// Binds (text: str, options: int). The text's UTF-8 is read in place; a lone
// surrogate raises UnicodeEncodeError.
std::optional<Call> bind(const char* name, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes 2 positional arguments (%zd given)", name, nargs);
        return std::nullopt;
    }
    if (!PyUnicode_Check(args[0])) {
        PyErr_Format(PyExc_TypeError, "%s() argument 1 must be str", name);
        return std::nullopt;
    }
    const long options = PyLong_AsLong(args[1]);
    if (options == -1 && PyErr_Occurred()) return std::nullopt;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(args[0], &size);
    if (utf8 == nullptr) return std::nullopt;
    return Call{args[0], std::string_view(utf8, static_cast<std::size_t>(size)), options};
}

PyObject* source_bytes(std::string_view utf8) {
    return PyBytes_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

bool ensure_registered() {
    if (dax::python::classes_registered()) return true;
    PyErr_SetString(PyExc_RuntimeError, "quarrow_dax.syntax has not registered its classes");
    return false;
}

// --- entries ----------------------------------------------------------------

template <class Parse, class Build>
PyObject* parse_entry(const char* name, PyObject* const* args, Py_ssize_t nargs, Parse parse, Build build) noexcept {
    try {
        if (!ensure_registered()) return nullptr;
        const std::optional<Call> call = bind(name, args, nargs);
        if (!call) return nullptr;
        const dax::Dialect dialect = dialect_of(call->options);
        const dax::Grammar grammar = grammar_of(call->options);
        auto result = without_lock([&] { return parse(call->utf8, dialect, grammar); });
        if (!result) return error_tuple(result.error());
        Ref source(source_bytes(call->utf8));
        if (!source) return nullptr;
        const dax::python::CollectorPause pause;
        dax::python::TreeBuilder builder(source.get());
        return build(builder, result.value());
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* parse_expression_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return parse_entry(
        "parse_expression", args, nargs,
        [](std::string_view text, dax::Dialect dialect, dax::Grammar grammar) {
            return dax::parse_expression_with_dialect(text, dialect, grammar);
        },
        [](dax::python::TreeBuilder& builder, const dax::Expr& e) { return builder.expr(e); });
}

PyObject* parse_query_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return parse_entry(
        "parse_query", args, nargs,
        [](std::string_view text, dax::Dialect dialect, dax::Grammar grammar) {
            return dax::parse_query_with_dialect(text, dialect, grammar);
        },
        [](dax::python::TreeBuilder& builder, const dax::Query& q) { return builder.query(q); });
}

PyObject* tokenize_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (!ensure_registered()) return nullptr;
        const std::optional<Call> call = bind("tokenize", args, nargs);
        if (!call) return nullptr;
        const dax::Dialect dialect = dialect_of(call->options);
        const bool comments = (call->options & option_comments) != 0;
        auto result = without_lock([&] { return dax::Lexer(call->utf8, dialect, comments).lex_all(); });
        if (!result) return error_tuple(dax::DaxError::lex(std::move(result).error()));
        Ref source(source_bytes(call->utf8));
        if (!source) return nullptr;
        const dax::python::CollectorPause pause;
        dax::python::TreeBuilder builder(source.get());
        return builder.tokens(result.value());
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

// Parses without building anything: None, or the error tuple.
template <class Parse>
PyObject* check_entry(const char* name, PyObject* const* args, Py_ssize_t nargs, Parse parse) noexcept {
    try {
        const std::optional<Call> call = bind(name, args, nargs);
        if (!call) return nullptr;
        const dax::Dialect dialect = dialect_of(call->options);
        const dax::Grammar grammar = grammar_of(call->options);
        auto error = without_lock([&]() -> std::optional<dax::DaxError> {
            auto result = parse(call->utf8, dialect, grammar);
            if (result) return std::nullopt;
            return std::move(result).error();
        });
        if (error) return error_tuple(*error);
        Py_RETURN_NONE;
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* check_expression_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return check_entry("check_expression", args, nargs,
                       [](std::string_view text, dax::Dialect dialect, dax::Grammar grammar) {
                           return dax::parse_expression_with_dialect(text, dialect, grammar);
                       });
}

PyObject* check_query_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return check_entry("check_query", args, nargs,
                       [](std::string_view text, dax::Dialect dialect, dax::Grammar grammar) {
                           return dax::parse_query_with_dialect(text, dialect, grammar);
                       });
}

PyObject* parse_function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return parse_entry(
        "parse_function", args, nargs,
        [](std::string_view text, dax::Dialect dialect, dax::Grammar grammar) {
            return dax::parse_function_with_dialect(text, dialect, grammar);
        },
        [](dax::python::TreeBuilder& builder, const dax::definition::Function& f) { return builder.function(f, ""); });
}

PyObject* check_function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return check_entry("check_function", args, nargs,
                       [](std::string_view text, dax::Dialect dialect, dax::Grammar grammar) {
                           return dax::parse_function_with_dialect(text, dialect, grammar);
                       });
}

// Parses, then lists the references, both without the lock: the list points
// into the tree, which lives until the objects are made.
template <class Parse, class Walk>
PyObject* references_entry(const char* name, PyObject* const* args, Py_ssize_t nargs, Parse parse,
                           Walk walk) noexcept {
    try {
        if (!dax::python::reference_class_registered()) {
            PyErr_SetString(PyExc_RuntimeError, "quarrow_dax.references has not registered its class");
            return nullptr;
        }
        const std::optional<Call> call = bind(name, args, nargs);
        if (!call) return nullptr;
        const dax::Dialect dialect = dialect_of(call->options);
        const dax::Grammar grammar = grammar_of(call->options);
        auto parsed = without_lock([&] { return parse(call->utf8, dialect, grammar); });
        if (!parsed) return error_tuple(parsed.error());
        const auto references = without_lock([&] { return walk(parsed.value(), call->utf8); });
        Ref source(source_bytes(call->utf8));
        if (!source) return nullptr;
        const dax::python::CollectorPause pause;
        return dax::python::reference_list(references, source.get());
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* references_expression_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return references_entry(
        "references_expression", args, nargs,
        [](std::string_view text, dax::Dialect dialect, dax::Grammar grammar) {
            return dax::parse_expression_with_dialect(text, dialect, grammar);
        },
        [](const dax::Expr& e, std::string_view text) { return dax::refs::expression_references(e, text); });
}

PyObject* references_query_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return references_entry(
        "references_query", args, nargs,
        [](std::string_view text, dax::Dialect dialect, dax::Grammar grammar) {
            return dax::parse_query_with_dialect(text, dialect, grammar);
        },
        [](const dax::Query& q, std::string_view text) { return dax::refs::query_references(q, text); });
}

PyObject* references_function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return references_entry(
        "references_function", args, nargs,
        [](std::string_view text, dax::Dialect dialect, dax::Grammar grammar) {
            return dax::parse_function_with_dialect(text, dialect, grammar);
        },
        [](const dax::definition::Function& f, std::string_view text) {
            return dax::refs::function_references(f, text);
        });
}

PyObject* register_reference_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "register_reference() takes (reference_class)");
        return nullptr;
    }
    if (dax::python::register_reference_class(args[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* register_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "register() takes (span_class, classes)");
        return nullptr;
    }
    if (dax::python::register_classes(args[0], args[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// --- module -----------------------------------------------------------------

template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef functions[] = {
    {"register", as_cfunction(register_entry), METH_FASTCALL,
     "register(span_class, classes)\n--\n\nTakes the node classes of quarrow_dax.syntax."},
    {"parse_expression", as_cfunction(parse_expression_entry), METH_FASTCALL,
     "parse_expression(text, options)\n--\n\nThe expression's tree, or (kind, message, start, end)."},
    {"parse_query", as_cfunction(parse_query_entry), METH_FASTCALL,
     "parse_query(text, options)\n--\n\nThe query's tree, or (kind, message, start, end)."},
    {"parse_function", as_cfunction(parse_function_entry), METH_FASTCALL,
     "parse_function(text, options)\n--\n\nA model's function `(params) => body`, or (kind, message, start, end)."},
    {"check_function", as_cfunction(check_function_entry), METH_FASTCALL,
     "check_function(text, options)\n--\n\nNone, or the first error as (kind, message, start, end)."},
    {"tokenize", as_cfunction(tokenize_entry), METH_FASTCALL,
     "tokenize(text, options)\n--\n\nThe list of tokens, or (kind, message, start, end)."},
    {"check_expression", as_cfunction(check_expression_entry), METH_FASTCALL,
     "check_expression(text, options)\n--\n\nNone, or the first error as (kind, message, start, end)."},
    {"check_query", as_cfunction(check_query_entry), METH_FASTCALL,
     "check_query(text, options)\n--\n\nNone, or the first error as (kind, message, start, end)."},
    {"register_reference", as_cfunction(register_reference_entry), METH_FASTCALL,
     "register_reference(reference_class)\n--\n\nTakes the class of quarrow_dax.references.Reference."},
    {"references_expression", as_cfunction(references_expression_entry), METH_FASTCALL,
     "references_expression(text, options)\n--\n\nThe expression's references, or (kind, message, start, end)."},
    {"references_query", as_cfunction(references_query_entry), METH_FASTCALL,
     "references_query(text, options)\n--\n\nThe query's references, or (kind, message, start, end)."},
    {"references_function", as_cfunction(references_function_entry), METH_FASTCALL,
     "references_function(text, options)\n--\n\nA model function's references, or (kind, message, start, end)."},
    // The positioned JSON readers' entries (json/json_entries.hpp).
    {"read_json", as_cfunction(dax::python::json::read_json), METH_FASTCALL,
     "read_json(text, object_class, array_class, string_class, placed_keys, markers)\n--\n\n(value,) of a JSON "
     "text with the places of its values, or None when it is not plain JSON."},
    {"line_starts", as_cfunction(dax::python::json::line_starts), METH_FASTCALL,
     "line_starts(text)\n--\n\nThe offsets where the text's lines begin."},
    {"escape_map", as_cfunction(dax::python::json::escape_map), METH_FASTCALL,
     "escape_map(text, start, end)\n--\n\n(decoded offsets, offsets, lengths) of the escapes of text[start:end]."},
    // Copying and pickling (located.hpp).
    {"position", as_cfunction(dax::python::position_entry), METH_FASTCALL,
     "position(located)\n--\n\n(source bytes, start, end), or None for an object built in code."},
    {"place", as_cfunction(dax::python::place_entry), METH_FASTCALL,
     "place(located, source, start, end)\n--\n\nGives an object built without a position the span start..end of "
     "source (bytes); a source of None leaves it without one."},
    {"placed", as_cfunction(dax::python::placed_entry), METH_FASTCALL,
     "placed(cls, source, start, end, fields)\n--\n\nA new instance of a registered class at start..end of source "
     "(None: no position), its fields from a tuple in declaration order; no __init__ runs."},
    {"flatten", as_cfunction(dax::python::flatten_entry), METH_FASTCALL,
     "flatten(node)\n--\n\n(sources, records, nodes) of the tree, or NotImplemented for a class not registered."},
    {"rebuild", as_cfunction(dax::python::rebuild_entry), METH_FASTCALL,
     "rebuild(sources, records)\n--\n\nThe nodes the records describe, the root last; or NotImplemented."},
    // The formatter's entries (format_entries.hpp).
    {"register_builtins", as_cfunction(dax::python::format::register_builtins), METH_FASTCALL,
     "register_builtins(names, keywords)\n--\n\nTakes the built-in function names and their keyword arguments, which "
     "the formatter writes in upper case."},
    {"format_parse", as_cfunction(dax::python::format::format_parse), METH_FASTCALL,
     "format_parse(text, options, kind)\n--\n\n(tree, source, fingerprint, comment fingerprint, code starts, "
     "comments), or (kind, message, start, end)."},
    {"format_fingerprint", as_cfunction(dax::python::format::format_fingerprint), METH_FASTCALL,
     "format_fingerprint(text, options, kind)\n--\n\n(fingerprint, comment fingerprint), or (kind, message, start, "
     "end)."},
    {"source_comments", as_cfunction(dax::python::format::source_comments), METH_FASTCALL,
     "source_comments(text, options)\n--\n\n(code starts, comments), or (kind, message, start, end)."},
    {"register_layout", as_cfunction(dax::python::format::register_layout), METH_FASTCALL,
     "register_layout(atom_class, comment_class, multiline_class)\n--\n\nTakes the formatter's piece classes."},
    {"render", as_cfunction(dax::python::format::render), METH_FASTCALL,
     "render(pieces, width, indent, newline, expand[, first_offset, prefix])\n--\n\nA formatter's document laid out "
     "in lines."},
    {"display_width", as_cfunction(dax::python::format::display_width), METH_FASTCALL,
     "display_width(text)\n--\n\nThe columns a text takes on a screen (wide characters two, combining marks none)."},
    {"register_operators", as_cfunction(dax::python::format::register_operators), METH_FASTCALL,
     "register_operators(binary, unary)\n--\n\nTakes the operator tables of quarrow_dax.syntax.spelling."},
    {"one_line_style", as_cfunction(dax::python::format::one_line_style), METH_FASTCALL,
     "one_line_style(texts)\n--\n\nThe flat printer's style from the texts of a formatter's one-line table."},
    {"flat", as_cfunction(dax::python::format::flat), METH_FASTCALL,
     "flat(node, min_bp, follow, limit, style)\n--\n\nAn expression printed on one line, or None."},
    {"leaf_text", as_cfunction(dax::python::format::leaf_text), METH_FASTCALL,
     "leaf_text(node, style)\n--\n\nA leaf's text as the formatter prints it, line breaks kept."},
    {"register_work", as_cfunction(dax::python::format::register_work), METH_FASTCALL,
     "register_work(at_class, placed_class, atom_class, multiline_class, located_class, handlers)\n--\n\n"
     "Takes the classes and handlers of the formatter's work list."},
    {"work", as_cfunction(dax::python::format::work), METH_FASTCALL,
     "work(builder, items, whole)\n--\n\nRuns the formatter's work list into the builder's pieces."},
    {"child", as_cfunction(dax::python::format::child), METH_FASTCALL,
     "child(context, node, min_bp, follow)\n--\n\nWhat stands for a node in the formatter's work list."},
    {"token_index", as_cfunction(dax::python::format::token_index), METH_FASTCALL,
     "token_index(starts, at_end, node, offset=0)\n--\n\nThe index of the token a node starts (ends) at, or None."},
    {"anchor_first", as_cfunction(dax::python::format::anchor_first), METH_FASTCALL,
     "anchor_first(starts, node, count=1)\n--\n\nAn anchor for a node's first tokens, or None."},
    {"anchor_after", as_cfunction(dax::python::format::anchor_after), METH_FASTCALL,
     "anchor_after(starts, node, offset=0)\n--\n\nAn anchor for the token after a node, or None."},
    // The bulk entries of quarrow_dax.batch and the scanner reader (batch/batch_entries.hpp).
    {"check_texts", as_cfunction(dax::python::batch::check_texts), METH_FASTCALL,
     "check_texts(offsets, wide, data, validity, first, length, options, kind, threads)\n--\n\n"
     "Each text's first error as columns of bytes, the texts read from Arrow buffers across threads."},
    {"references_texts", as_cfunction(dax::python::batch::references_texts), METH_FASTCALL,
     "references_texts(offsets, wide, data, validity, first, length, options, kind, threads)\n--\n\n"
     "The references of every text, one row each, as columns of bytes."},
    {"parse_texts", as_cfunction(dax::python::batch::parse_texts), METH_FASTCALL,
     "parse_texts(offsets, wide, data, validity, first, length, options, kind, threads)\n--\n\n"
     "Each text's tree, error tuple or None, parsed across threads."},
    {"scan_splitter", as_cfunction(dax::python::batch::scan_splitter), METH_FASTCALL,
     "scan_splitter()\n--\n\nA new splitter of a scanner result into its datasets."},
    {"scan_feed", as_cfunction(dax::python::batch::scan_feed), METH_FASTCALL,
     "scan_feed(splitter, buffer)\n--\n\nThe workspaces, datasets and problems found in the next bytes."},
    {"scan_finish", as_cfunction(dax::python::batch::scan_finish), METH_FASTCALL,
     "scan_finish(splitter)\n--\n\nWhat the end of the document gives."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
    try {
        Ref located(dax::python::create_located_type());
        if (!located || PyModule_AddObjectRef(module, "Located", located.get()) < 0) return -1;
        PyObject*& internal_error = dax::python::syntax_internal_error;
        if (internal_error == nullptr) {
            internal_error = PyErr_NewExceptionWithDoc(
                "quarrow_dax.syntax.InternalError",
                "Raised when the parser breaks one of its own invariants: a fault of quarrow_dax, never of the "
                "input.",
                PyExc_RuntimeError, nullptr);
            if (internal_error == nullptr) return -1;
        }
        if (PyModule_AddObjectRef(module, "InternalError", internal_error) < 0) return -1;
        struct Constant {
            const char* name;
            long value;
        };
        for (const Constant& c : {Constant{"ENGINE_GRAMMAR", option_engine_grammar},
                                  Constant{"SEMICOLON_LISTS", option_semicolon_lists},
                                  Constant{"COMMENTS", option_comments}}) {
            if (PyModule_AddIntConstant(module, c.name, c.value) < 0) return -1;
        }
        return 0;
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
    "_syntax",
    "Syntax trees and tokens of DAX text as Python objects (private to quarrow_dax.syntax).",
    0,
    functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__syntax() { return PyModuleDef_Init(&module_definition); }
