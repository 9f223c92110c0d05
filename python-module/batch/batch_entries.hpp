// The syntax module's entries for quarrow_dax.batch and the scanner reader:
// many texts checked, their references read or their trees built in one
// call, the lock released while threads parse; and the splitting of a
// scanner result into its datasets. Each is a METH_FASTCALL function for the
// module's table in syntax/module.cpp.
#pragma once

#include "py_ref.hpp"

namespace dax::python::batch {

// The texts of every bulk entry are the buffers of an Arrow string array:
// (offsets, wide, data, validity or None, first, length), `wide` true for
// 64-bit offsets, `first` the array's offset into them.

// check_texts(offsets, wide, data, validity, first, length, options, kind, threads):
// (status, line, column, message offsets, messages) as bytes: a uint8, two
// int32 and an int64 column, and the UTF-8 of the messages.
PyObject* check_texts(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// references_texts(<the same arguments>): the columns of one row per
// reference, as a tuple of bytes (see bulk.hpp's ReferenceColumns).
PyObject* references_texts(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// parse_texts(<the same arguments>): a list with each text's tree, its error
// (kind, message, start, end), or None for a null.
PyObject* parse_texts(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// scan_splitter(): a new splitter of a scanner result (a capsule).
PyObject* scan_splitter(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// scan_feed(splitter, buffer): the items found in the next bytes, each
// (kind, workspace, start, end, line, column, name, id, message) with kind
// "workspace", "dataset" or "problem" and name and id bytes or None.
PyObject* scan_feed(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// scan_finish(splitter): the items the end of the document gives.
PyObject* scan_finish(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace dax::python::batch
