// The syntax module's entries for the positioned JSON readers
// (quarrow_dax.model.json_reader and quarrow_dax.report._json): a JSON text
// read in one native pass into the values those readers return, and the
// maps from offsets to lines and through a string's escapes. METH_FASTCALL
// functions for the module's table in syntax/module.cpp.
#pragma once

#include "py_ref.hpp"

namespace dax::python::json {

// read_json(text, object_class, array_class, string_class, placed_keys,
// markers): (value,) of the text, or None when it is not plain JSON (a
// fault, a key given twice, nesting past the limit, a very long number),
// which the careful reader then reads to say where.
//
// With placed_keys None every object, array and string is of the given
// classes with `start` and `end` (character offsets), and each container
// with numbers, booleans or nulls keeps their spans in `_scalar_spans`, as
// json_reader.JsonReader does. With a set of keys, only the root, its
// children and the containers holding a string of `markers` (an iterable of
// str) are placed, and only the strings that are values of those keys in a
// placed object: everything else is a plain dict, list or str.
PyObject* read_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// line_starts(text): the offsets where the lines of `text` begin (0, and
// just past each line feed), for (line, column) by bisection.
PyObject* line_starts(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// escape_map(text, start, end): the escapes of the JSON string text
// text[start:end] as three lists: the offset of the character each makes in
// the decoded value, its own offset in `text`, and its length.
PyObject* escape_map(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace dax::python::json
