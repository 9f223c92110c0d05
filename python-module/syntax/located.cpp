// The Located type: storage, garbage-collector hooks and the `span` and
// `text` properties.
#include "located.hpp"

#include <cstddef>

namespace dax::python {

namespace {

PyObject* span_class = nullptr;  // kept for the life of the process

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

PyObject* create_located_type() { return PyType_FromSpec(&located_spec); }

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

}  // namespace dax::python
