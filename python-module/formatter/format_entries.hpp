// The syntax module's entries for the formatter (quarrow_dax.formatter):
// reading a text with its comments and fingerprint, fingerprinting a result,
// printing expressions flat, and laying a document out in lines. Each is a
// METH_FASTCALL function for the module's table in syntax/module.cpp.
#pragma once

#include "fingerprint.hpp"
#include "py_ref.hpp"

namespace dax::python::format {

// Where a comment goes, by what shares its line in the source (the
// formatter's comments.OWN, TRAIL and INLINE).
inline constexpr long comment_own = 0;
inline constexpr long comment_trail = 1;
inline constexpr long comment_inline = 2;

// The names register_builtins took.
const fingerprint::NameSet& builtin_names() noexcept;
const fingerprint::Names& formatter_names() noexcept;

// register_builtins(names, keywords): the built-in function names and the
// keywords those functions take as arguments (upper case), which the
// formatter writes in upper case.
PyObject* register_builtins(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// format_parse(text, options, kind): (tree, source bytes, fingerprint,
// comment fingerprint, code token starts or None, comments or None, the
// options to read the result with, the names the text declares in upper
// case as a frozenset). A fingerprint is "=" and the document of
// fingerprint.hpp, or, past a megabyte, "#" and its SHA-256 digest.
PyObject* format_parse(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// format_fingerprint(text, options, kind): (fingerprint, comment fingerprint).
PyObject* format_fingerprint(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// source_comments(text, options): (code token starts, comments).
PyObject* source_comments(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// register_layout(Atom, Comment, Multiline): the classes of the pieces of a
// document other than str and int.
PyObject* register_layout(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// render(pieces, width, indent, newline, expand[, first_offset, prefix]): a
// document laid out; its first line starts `first_offset` columns in and the
// others `prefix` columns in, where it will be written.
PyObject* render(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// display_width(text): the columns a text takes on a screen.
PyObject* display_width(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// register_operators(binary, unary): spelling.BINARY_OPERATORS and
// UNARY_OPERATORS, for the flat printer.
PyObject* register_operators(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// one_line_style(texts): the flat printer's style, an object holding the
// texts of a one_line.FlatStyle (a dict of them), for `flat` and `leaf_text`.
PyObject* one_line_style(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// flat(node, min_bp, follow, limit, style[, declared]): the expression's flat
// text, or None (none, or wider than `limit` columns unless `limit` is
// negative). `declared`: the names the text declares, in upper case (a set),
// which are never taken for a function's keyword arguments.
PyObject* flat(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// The same from C++: a new reference (the text or None), or null with an
// exception set. May throw std::bad_alloc.
PyObject* flat_text(PyObject* node, long min_bp, long follow, Py_ssize_t limit, PyObject* style,
                    PyObject* declared = nullptr);
// leaf_text(node, style): a leaf's text as the formatter prints it, with the
// line breaks its strings and names may hold; TypeError for a VAR block or
// a node that is no expression.
PyObject* leaf_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// register_work(_At, _Placed, Atom, Multiline, Located, handlers): the
// classes of the formatter's work list and its handlers by node class.
PyObject* register_work(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// work(builder, items, whole): style._Builder.work.
PyObject* work(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// child(context, node, min_bp, follow): style._Builder.child; `context` is
// (replaced, placing, comment starts, atom span, width, style, declared).
PyObject* child(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// token_index(starts, at_end, node, offset=0): the index of the first code
// token at or after the node's start (end), plus `offset`; None without
// starts or position.
PyObject* token_index(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// anchor_first(starts, node, count=1): an anchor for the node's first
// `count` tokens, or None.
PyObject* anchor_first(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// anchor_after(starts, node, offset=0): an anchor for the token `offset`
// places after the node, or None.
PyObject* anchor_after(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace dax::python::format
