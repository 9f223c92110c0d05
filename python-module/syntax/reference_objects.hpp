// The references of a tree as Python objects: instances of the class that
// quarrow_dax.references registers, each a Located (its span and text come
// from the source bytes it shares with the others), filled field by field
// through their slots like the syntax nodes.
#pragma once

#include <vector>

#include "py_ref.hpp"
#include "references.hpp"

namespace dax::python {

// Takes the class of references (a Located subclass with the slots kind,
// name, table, levels, function, argument, parent, target). Returns 0, or
// -1 with an exception set.
int register_reference_class(PyObject* cls);

bool reference_class_registered() noexcept;

// A new list of reference objects, or null with an exception set. `source`
// is the bytes object of the UTF-8 text the references point into.
PyObject* reference_list(const std::vector<refs::Reference>& references, PyObject* source);

}  // namespace dax::python
