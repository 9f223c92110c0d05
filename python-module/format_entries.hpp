// The syntax module's entries for the formatter (quarrow_dax.formatter):
// reading a text with its comments and fingerprint, fingerprinting a result,
// printing expressions flat, and laying a document out in lines. Each is a
// METH_FASTCALL function for the module's table in syntax_module.cpp.
#pragma once

#include "py_ref.hpp"

namespace dax::python::format {

// register_builtins(names): the built-in function names (upper case) that
// the formatter writes in upper case.
PyObject* register_builtins(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// format_parse(text, options, kind): (tree, source bytes, fingerprint,
// comment fingerprint, code token starts or None, comments or None).
PyObject* format_parse(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// format_fingerprint(text, options, kind): (fingerprint, comment fingerprint).
PyObject* format_fingerprint(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// source_comments(text, options): (code token starts, comments).
PyObject* source_comments(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace dax::python::format
