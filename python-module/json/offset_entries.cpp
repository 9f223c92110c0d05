// line_starts and escape_map: the tables that turn offsets of a JSON text
// into lines and columns of its file, also through the escapes of a string
// holding a JSON text (PBIR-Legacy's `config`).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "json/code_points.hpp"
#include "json/json_entries.hpp"
#include "json/positioned_scan.hpp"
#include "syntax_boundary.hpp"

namespace dax::python::json {

namespace {

// A list of the offsets, each plus `shift`.
PyObject* offset_list(const std::vector<std::size_t>& offsets, std::size_t shift = 0) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(offsets.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        PyObject* number = PyLong_FromSize_t(offsets[i] + shift);
        if (number == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), number);
    }
    return list.release();
}

}  // namespace

PyObject* line_starts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 1 || !PyUnicode_Check(args[0])) {
            PyErr_SetString(PyExc_TypeError, "line_starts() takes (text: str)");
            return nullptr;
        }
        const CodePoints chars(args[0]);
        if (!chars.ok()) return nullptr;
        return offset_list(dax::json::line_starts(chars.text()));
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* escape_map(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 3 || !PyUnicode_Check(args[0])) {
            PyErr_SetString(PyExc_TypeError, "escape_map() takes (text: str, start: int, end: int)");
            return nullptr;
        }
        const Py_ssize_t length = PyUnicode_GetLength(args[0]);
        Py_ssize_t start = PyLong_AsSsize_t(args[1]);
        if (start == -1 && PyErr_Occurred()) return nullptr;
        Py_ssize_t end = PyLong_AsSsize_t(args[2]);
        if (end == -1 && PyErr_Occurred()) return nullptr;
        // As a slice would: clamped to the text.
        start = std::clamp<Py_ssize_t>(start, 0, length);
        end = std::clamp<Py_ssize_t>(end, start, length);
        Ref part(PyUnicode_Substring(args[0], start, end));
        if (!part) return nullptr;
        const CodePoints chars(part.get());
        if (!chars.ok()) return nullptr;
        const dax::json::Text text = chars.text();
        const std::vector<dax::json::Escape> found = dax::json::escapes(text, 0, text.size());
        std::vector<std::size_t> decoded, raw, lengths;
        decoded.reserve(found.size());
        raw.reserve(found.size());
        lengths.reserve(found.size());
        for (const dax::json::Escape& escape : found) {
            decoded.push_back(escape.decoded);
            raw.push_back(escape.raw);
            lengths.push_back(escape.length);
        }
        Ref decoded_list(offset_list(decoded));
        Ref raw_list(offset_list(raw, static_cast<std::size_t>(start)));
        Ref length_list(offset_list(lengths));
        if (!decoded_list || !raw_list || !length_list) return nullptr;
        return PyTuple_Pack(3, decoded_list.get(), raw_list.get(), length_list.get());
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace dax::python::json
