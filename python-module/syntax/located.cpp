// The Located type: storage, garbage-collector hooks and the `span` and
// `text` properties.
#include "located.hpp"

#include <cstddef>

#include "node_classes.hpp"

namespace dax::python {

namespace {

PyObject* span_class = nullptr;     // kept for the life of the process
PyTypeObject* located_type = nullptr;  // the last one created, likewise

int located_traverse(PyObject* self, visitproc visit, void* arg) {
    // Instances of a heap type keep their type alive.
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<LocatedObject*>(self)->source);
    return 0;
}

int located_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<LocatedObject*>(self)->source);
    return 0;
}

void located_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    located_clear(self);
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);
}

PyObject* get_span(PyObject* self, void*) {
    const auto* located = reinterpret_cast<LocatedObject*>(self);
    if (located->source == nullptr) Py_RETURN_NONE;
    return new_span(located->start, located->end);
}

PyObject* get_text(PyObject* self, void*) {
    const auto* located = reinterpret_cast<LocatedObject*>(self);
    if (located->source == nullptr) return PyObject_CallMethod(self, "to_dax", nullptr);
    const char* data = PyBytes_AsString(located->source);
    if (data == nullptr) return nullptr;
    return PyUnicode_DecodeUTF8(data + located->start, located->end - located->start, "strict");
}

PyGetSetDef located_getset[] = {
    {"span", get_span, nullptr,
     "Where it stands: a Span of UTF-8 byte offsets into the parsed text (end exclusive), or None for "
     "an object built in code.",
     nullptr},
    {"text", get_text, nullptr,
     "The exact source text it was read from; for an object built in code, its to_dax() text.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot located_slots[] = {
    {Py_tp_doc, const_cast<char*>("Something read from DAX source text that knows where it stands.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(located_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(located_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(located_clear)},
    {Py_tp_getset, located_getset},
    {0, nullptr},
};

PyType_Spec located_spec = {
    "quarrow_dax.syntax.Located",
    sizeof(LocatedObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    located_slots,
};

}  // namespace

PyObject* create_located_type() {
    PyObject* type = PyType_FromSpec(&located_spec);
    if (type != nullptr) {
        Py_INCREF(type);
        located_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return type;
}

void set_span_class(PyObject* cls) noexcept { span_class = cls; }

PyObject* new_span(Py_ssize_t start, Py_ssize_t end) {
    if (span_class == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "quarrow_dax.syntax is not initialised");
        return nullptr;
    }
    // A tuple subclass allocated directly: calling the class would run its
    // Python-level constructor for every span.
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(span_class), Py_tp_alloc));
    Ref span(alloc(reinterpret_cast<PyTypeObject*>(span_class), 2));
    if (!span) return nullptr;
    PyObject* low = PyLong_FromSsize_t(start);
    if (low == nullptr || PyTuple_SetItem(span.get(), 0, low) < 0) return nullptr;
    PyObject* high = PyLong_FromSsize_t(end);
    if (high == nullptr || PyTuple_SetItem(span.get(), 1, high) < 0) return nullptr;
    return span.release();
}

namespace {

bool is_located(PyObject* object) noexcept {
    return located_type != nullptr && PyObject_TypeCheck(object, located_type);
}

struct Position {
    PyObject* source;  // borrowed; null for an object built in code
    Span span;
};

// Reads (source, start, end) from three arguments: source None (then start
// and end are ignored) or bytes, and a span of whole characters within it.
bool read_position(PyObject* const* args, Position& out) {
    out = Position{nullptr, Span{0, 0}};
    if (args[0] == Py_None) return true;
    const Py_ssize_t start = PyLong_AsSsize_t(args[1]);
    if (start == -1 && PyErr_Occurred()) return false;
    const Py_ssize_t end = PyLong_AsSsize_t(args[2]);
    if (end == -1 && PyErr_Occurred()) return false;
    if (!valid_span(args[0], start, end)) return false;
    out = Position{args[0], Span{static_cast<std::size_t>(start), static_cast<std::size_t>(end)}};
    return true;
}

}  // namespace

bool valid_span(PyObject* source, Py_ssize_t start, Py_ssize_t end) {
    if (!PyBytes_Check(source)) {
        PyErr_SetString(PyExc_TypeError, "the source must be bytes or None");
        return false;
    }
    const Py_ssize_t size = PyBytes_Size(source);
    const char* data = PyBytes_AsString(source);
    if (size < 0 || data == nullptr) return false;
    // No UTF-8 continuation byte at either end: `text` decodes whole characters.
    const auto on_boundary = [&](Py_ssize_t at) {
        return at == size || (static_cast<unsigned char>(data[at]) & 0xC0) != 0x80;
    };
    if (start < 0 || start > end || end > size || !on_boundary(start) || !on_boundary(end)) {
        PyErr_Format(PyExc_ValueError, "span %zd..%zd is not a range of whole characters of a %zd-byte source", start,
                     end, size);
        return false;
    }
    return true;
}

PyObject* position_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1 || !is_located(args[0])) {
        PyErr_SetString(PyExc_TypeError, "position() takes one Located object");
        return nullptr;
    }
    const auto* located = reinterpret_cast<LocatedObject*>(args[0]);
    if (located->source == nullptr) Py_RETURN_NONE;
    return Py_BuildValue("(Onn)", located->source, located->start, located->end);
}

PyObject* place_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 || !is_located(args[0])) {
        PyErr_SetString(PyExc_TypeError, "place() takes (located, source, start, end)");
        return nullptr;
    }
    auto* located = reinterpret_cast<LocatedObject*>(args[0]);
    if (located->source != nullptr) {
        // A position, once given, is part of what the object is.
        PyErr_SetString(PyExc_ValueError, "the object already has a position");
        return nullptr;
    }
    Position position;
    if (!read_position(args + 1, position)) return nullptr;
    if (position.source != nullptr) place(args[0], position.source, position.span);
    Py_RETURN_NONE;
}

PyObject* placed_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5 || !PyType_Check(args[0]) || !PyTuple_Check(args[4])) {
        PyErr_SetString(PyExc_TypeError, "placed() takes (class, source, start, end, fields: tuple)");
        return nullptr;
    }
    const std::optional<NodeKind> kind = kind_of_class(reinterpret_cast<PyTypeObject*>(args[0]));
    if (!kind) {
        PyErr_SetString(PyExc_TypeError, "placed() makes only the classes quarrow_dax.syntax registered");
        return nullptr;
    }
    Position position;
    if (!read_position(args + 1, position)) return nullptr;
    const Py_ssize_t count = PyTuple_Size(args[4]);
    if (count != static_cast<Py_ssize_t>(node_field_count(*kind))) {
        PyErr_Format(PyExc_TypeError, "placed() got %zd fields for a class of %zu", count, node_field_count(*kind));
        return nullptr;
    }
    PyObject* fields[max_node_fields] = {};
    for (Py_ssize_t f = 0; f < count; ++f) {
        fields[f] = PyTuple_GetItem(args[4], f);
        Py_XINCREF(fields[f]);  // make_node takes one reference of each
    }
    return make_node(*kind, position.source, position.span, fields);
}

}  // namespace dax::python
