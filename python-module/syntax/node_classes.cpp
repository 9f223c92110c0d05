// The registry of the syntax classes and the maker of their instances.
#include "node_classes.hpp"

#include <array>
#include <string_view>

namespace dax::python {

namespace {

struct KindLayout {
    const char* name;
    std::array<const char*, max_node_fields> fields;
    std::size_t field_count;
};

template <class... Fields>
constexpr KindLayout kind_layout(const char* name, Fields... fields) {
    static_assert(sizeof...(Fields) <= max_node_fields);
    return KindLayout{name, {fields...}, sizeof...(Fields)};
}

constexpr KindLayout kind_layouts[] = {
#define DAX_NODE_KIND_LAYOUT(name, ...) kind_layout(#name __VA_OPT__(, ) __VA_ARGS__),
    DAX_NODE_KINDS(DAX_NODE_KIND_LAYOUT)
#undef DAX_NODE_KIND_LAYOUT
};
constexpr std::size_t kind_count = std::size(kind_layouts);

struct Field {
    PyObject* descriptor = nullptr;
    descrsetfunc set = nullptr;
    descrgetfunc get = nullptr;
};

struct RegisteredClass {
    PyTypeObject* type = nullptr;
    allocfunc alloc = nullptr;
    std::array<Field, max_node_fields> fields{};
};

// Kept for the life of the process, like the interpreter's own type caches.
std::array<RegisteredClass, kind_count> registered{};
bool ready = false;

void release_fields(std::array<RegisteredClass, kind_count>& classes) noexcept {
    for (RegisteredClass& entry : classes)
        for (Field& field : entry.fields) Py_CLEAR(field.descriptor);
}

}  // namespace

int register_classes(PyObject* span_class, PyObject* classes) {
    if (!PyDict_Check(classes)) {
        PyErr_SetString(PyExc_TypeError, "classes must be a dict");
        return -1;
    }
    if (!PyType_Check(span_class) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(span_class), &PyTuple_Type)) {
        PyErr_SetString(PyExc_TypeError, "the span class must be a tuple subclass");
        return -1;
    }
    std::array<RegisteredClass, kind_count> fresh{};
    for (std::size_t k = 0; k < kind_count; ++k) {
        const KindLayout& layout = kind_layouts[k];
        PyObject* cls = PyDict_GetItemString(classes, layout.name);  // borrowed
        if (cls == nullptr || !PyType_Check(cls)) {
            release_fields(fresh);
            PyErr_Format(PyExc_TypeError, "no class given for %s", layout.name);
            return -1;
        }
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        RegisteredClass& entry = fresh[k];
        entry.type = type;
        entry.alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        for (std::size_t f = 0; f < layout.field_count; ++f) {
            Ref descriptor(PyObject_GetAttrString(cls, layout.fields[f]));
            PyTypeObject* descriptor_type = descriptor ? Py_TYPE(descriptor.get()) : nullptr;
            auto set = descriptor_type ? reinterpret_cast<descrsetfunc>(PyType_GetSlot(descriptor_type, Py_tp_descr_set))
                                       : nullptr;
            auto get = descriptor_type ? reinterpret_cast<descrgetfunc>(PyType_GetSlot(descriptor_type, Py_tp_descr_get))
                                       : nullptr;
            if (set == nullptr || get == nullptr) {
                release_fields(fresh);
                if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s.%s is not a slot", layout.name, layout.fields[f]);
                return -1;
            }
            entry.fields[f] = Field{descriptor.release(), set, get};
        }
    }
    Py_INCREF(span_class);
    set_span_class(span_class);
    for (std::size_t k = 0; k < kind_count; ++k) {
        Py_INCREF(reinterpret_cast<PyObject*>(fresh[k].type));
        registered[k] = fresh[k];  // the previous registration, if any, is kept alive: nodes may still use it
    }
    ready = true;
    return 0;
}

bool classes_registered() noexcept { return ready; }

std::optional<NodeKind> kind_of_class(const PyTypeObject* type) noexcept {
    for (std::size_t k = 0; k < kind_count; ++k)
        if (registered[k].type == type) return static_cast<NodeKind>(k);
    return std::nullopt;
}

std::optional<NodeKind> kind_of_node(PyObject* object) noexcept { return kind_of_class(Py_TYPE(object)); }

std::size_t node_field_count(NodeKind kind) noexcept { return kind_layouts[static_cast<std::size_t>(kind)].field_count; }

PyObject* node_field(PyObject* node, NodeKind kind, std::size_t index) {
    const RegisteredClass& entry = registered[static_cast<std::size_t>(kind)];
    const Field& field = entry.fields[index];
    return field.get(field.descriptor, node, reinterpret_cast<PyObject*>(entry.type));
}

PyObject* make_node(NodeKind kind, PyObject* source, Span span, PyObject* const* fields) {
    const auto k = static_cast<std::size_t>(kind);
    const KindLayout& layout = kind_layouts[k];
    const RegisteredClass& entry = registered[k];
    // Every field reference is consumed below, on every path.
    std::array<Ref, max_node_fields> owned;
    bool complete = true;
    for (std::size_t f = 0; f < layout.field_count; ++f) {
        owned[f].reset(fields[f]);
        complete = complete && fields[f] != nullptr;
    }
    if (!complete) return nullptr;
    Ref node(entry.alloc(entry.type, 0));
    if (!node) return nullptr;
    if (source != nullptr) place(node.get(), source, span);
    for (std::size_t f = 0; f < layout.field_count; ++f) {
        if (entry.fields[f].set(entry.fields[f].descriptor, node.get(), owned[f].get()) < 0) return nullptr;
    }
    return node.release();
}

}  // namespace dax::python
