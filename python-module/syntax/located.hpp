// The base type of every syntax node and token that the syntax module hands
// to Python: it knows where it stands in its source text. The position lives
// in two C integers and the source in one shared bytes object, so making a
// node costs no tuple and no integer objects; `span` and `text` are built
// when asked for.
#pragma once

#include "py_ref.hpp"

#include "dax_parser/token.hpp"

namespace dax::python {

struct LocatedObject {
    PyObject ob_base;
    PyObject* source;  // the UTF-8 input (bytes), or null for an object built in code
    Py_ssize_t start;
    Py_ssize_t end;
};

// Creates the type `quarrow_dax.syntax.Located`; a new reference or null.
PyObject* create_located_type();

// The class whose instances `span` returns: a tuple subclass (start, end)
// with nothing but the tuple in its layout. Borrowed; set once.
void set_span_class(PyObject* span_class) noexcept;

// Gives a freshly allocated instance of a Located subclass its position.
inline void place(PyObject* object, PyObject* source, Span span) noexcept {
    auto* located = reinterpret_cast<LocatedObject*>(object);
    Py_INCREF(source);
    located->source = source;
    located->start = static_cast<Py_ssize_t>(span.start);
    located->end = static_cast<Py_ssize_t>(span.end);
}

// A new Span (start, end); null with an exception set on failure.
PyObject* new_span(Py_ssize_t start, Py_ssize_t end);

// Whether start..end is a range of whole characters of `source` (bytes);
// false with an exception set when it is not.
bool valid_span(PyObject* source, Py_ssize_t start, Py_ssize_t end);

// The entries that copying and pickling use (`position`, `place`, `placed`),
// METH_FASTCALL functions of the module; see their docstrings there.
PyObject* position_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* place_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* placed_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace dax::python
