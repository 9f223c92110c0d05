// A syntax tree as a flat list of records and back, without recursion: what
// copying and pickling a tree of any depth rest on. Entries of the module
// (METH_FASTCALL); the format is described in tree_records.cpp.
#pragma once

#include "py_ref.hpp"

namespace dax::python {

// flatten(node) -> (sources, records, nodes in record order), or
// NotImplemented when the tree holds
// a node of a class the module does not make.
PyObject* flatten_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// rebuild(sources, records) -> list of the nodes, the root last; or
// NotImplemented when a record names a class the module does not make.
PyObject* rebuild_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace dax::python
