// Reference objects: the registered class, and the list of one tree's
// references. A formula of a model has a few dozen references, and a model a
// few thousand formulas, so the objects are made the cheap way: no __init__,
// kind names made once, a call's name object shared with the references
// that stand in its arguments.
#include "reference_objects.hpp"

#include <array>
#include <cstddef>
#include <string_view>

#include "located.hpp"

namespace dax::python {

namespace {

constexpr std::array<const char*, 8> field_names = {"kind",     "name",     "table",  "levels",
                                                    "function", "argument", "parent", "target"};
enum Field : std::size_t { Kind, Name, Table, Levels, Function, Argument, Parent, Target };

struct ReferenceClass {
    PyTypeObject* type = nullptr;
    allocfunc alloc = nullptr;
    std::array<PyObject*, field_names.size()> descriptors{};
    std::array<descrsetfunc, field_names.size()> setters{};
};

// Kept for the life of the process, like the node classes.
ReferenceClass registered;
bool ready = false;
std::array<PyObject*, refs::reference_kind_count> kind_objects{};  // interned, made on first use

PyObject* str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* kind_object(refs::ReferenceKind kind) {
    PyObject*& slot = kind_objects[static_cast<std::size_t>(kind)];
    if (slot == nullptr) {
        slot = str(refs::reference_kind_name(kind));
        if (slot == nullptr) return nullptr;
        PyUnicode_InternInPlace(&slot);
    }
    Py_INCREF(slot);
    return slot;
}

PyObject* new_none() { Py_RETURN_NONE; }

PyObject* index_or_none(std::size_t index) {
    if (index == refs::no_index) return new_none();
    return PyLong_FromSize_t(index);
}

PyObject* level_tuple(const std::vector<std::string>* levels) {
    const std::size_t count = levels == nullptr ? 0 : levels->size();
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; tuple && i < count; ++i) {
        PyObject* level = str((*levels)[i]);
        if (level == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), level);
    }
    return tuple.release();
}

// One object; `fields` are owned references, all consumed. A null field
// (its creation failed, the exception is set) fails the call.
PyObject* make_reference(PyObject* source, Span span, std::array<PyObject*, field_names.size()>& fields) {
    std::array<Ref, field_names.size()> owned;
    bool complete = true;
    for (std::size_t f = 0; f < fields.size(); ++f) {
        owned[f].reset(fields[f]);
        complete = complete && fields[f] != nullptr;
    }
    if (!complete) return nullptr;
    Ref object(registered.alloc(registered.type, 0));
    if (!object) return nullptr;
    place(object.get(), source, span);
    for (std::size_t f = 0; f < fields.size(); ++f)
        if (registered.setters[f](registered.descriptors[f], object.get(), owned[f].get()) < 0) return nullptr;
    return object.release();
}

// The names of one list, each made once: a formula names the same tables,
// variables and functions again and again. Open addressing over a table
// twice the size of the list; the objects are borrowed, kept alive by the
// references that hold them.
class NameCache {
public:
    explicit NameCache(std::size_t count) {
        std::size_t size = 16;
        while (size < 2 * count) size *= 2;
        slots_.resize(size);
    }

    // A new reference to the str of `text`, or null with an exception set.
    PyObject* get(std::string_view text) {
        std::size_t hash = 14695981039346656037ull;
        for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
            Slot& slot = slots_[at];
            if (slot.object == nullptr) {
                // Full when every reference brought two new names: stop caching.
                if (used_ + 1 >= slots_.size()) return str(text);
                // The new reference goes to the caller; the slot only
                // borrows it, while the reference that takes it lives.
                slot.object = str(text);
                if (slot.object == nullptr) return nullptr;
                slot.text = text;
                ++used_;
                return slot.object;
            }
            if (slot.text == text) {
                Py_INCREF(slot.object);
                return slot.object;
            }
        }
    }

private:
    struct Slot {
        std::string_view text;
        PyObject* object = nullptr;
    };
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

}  // namespace

int register_reference_class(PyObject* cls) {
    if (!PyType_Check(cls)) {
        PyErr_SetString(PyExc_TypeError, "the reference class must be a class");
        return -1;
    }
    ReferenceClass fresh;
    fresh.type = reinterpret_cast<PyTypeObject*>(cls);
    fresh.alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(fresh.type, Py_tp_alloc));
    for (std::size_t f = 0; f < field_names.size(); ++f) {
        Ref descriptor(PyObject_GetAttrString(cls, field_names[f]));
        auto set = descriptor ? reinterpret_cast<descrsetfunc>(PyType_GetSlot(Py_TYPE(descriptor.get()), Py_tp_descr_set))
                              : nullptr;
        if (set == nullptr) {
            for (PyObject*& kept : fresh.descriptors) Py_CLEAR(kept);
            if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "Reference.%s is not a slot", field_names[f]);
            return -1;
        }
        fresh.descriptors[f] = descriptor.release();
        fresh.setters[f] = set;
    }
    Py_INCREF(cls);
    // A previous registration is kept alive: its objects may still be in use.
    registered = fresh;
    ready = true;
    return 0;
}

bool reference_class_registered() noexcept { return ready; }

PyObject* reference_list(const std::vector<refs::Reference>& references, PyObject* source) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(references.size())));
    if (!list) return nullptr;
    // Each call's name object (borrowed: the list owns the call's object),
    // for the references standing in its arguments.
    std::vector<PyObject*> names(references.size(), nullptr);
    NameCache cache(references.size());
    for (std::size_t i = 0; i < references.size(); ++i) {
        const refs::Reference& ref = references[i];
        PyObject* name = cache.get(ref.name);
        PyObject* function = nullptr;
        if (ref.parent >= i) {  // no call (a call comes before its arguments)
            function = new_none();
        } else {
            function = names[ref.parent];
            Py_INCREF(function);
        }
        std::array<PyObject*, field_names.size()> fields{};
        fields[Kind] = kind_object(ref.kind);
        fields[Name] = name;
        fields[Table] = ref.has_table ? cache.get(ref.table) : new_none();
        fields[Levels] = level_tuple(ref.levels);
        fields[Function] = function;
        fields[Argument] = index_or_none(ref.argument);
        fields[Parent] = index_or_none(ref.parent);
        fields[Target] = index_or_none(ref.target);
        PyObject* object = make_reference(source, ref.span, fields);
        if (object == nullptr) return nullptr;
        names[i] = name;  // still alive: the object holds it
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), object);
    }
    return list.release();
}

}  // namespace dax::python
