// A syntax tree as a flat list of records and back, for copying and
// pickling trees of any depth (quarrow_dax/syntax/copying.py holds the
// format and a Python version of both directions for classes this module
// does not make). Both directions walk with a work list.
//
// A record is (class, source index or -1, start, end, field...): the node's
// class, its position in one of the sources, and its fields in declaration
// order, a child node given as its index in the list (a Python int: no
// field of a node class holds an int), a tuple of nodes as a tuple of
// indexes, a tuple of rows as a tuple of tuples of indexes.
#include "tree_records.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "located.hpp"
#include "node_classes.hpp"
#include "syntax_boundary.hpp"

namespace dax::python {

namespace {

// Calls each node below a field value (a node, or a node in a tuple or a
// tuple of tuples), in order.
template <class Visit>
bool for_each_child(PyObject* value, Visit visit) {
    if (kind_of_node(value)) return visit(value);
    if (!PyTuple_Check(value)) return true;
    const Py_ssize_t size = PyTuple_Size(value);
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyTuple_GetItem(value, i);
        if (kind_of_node(item)) {
            if (!visit(item)) return false;
        } else if (PyTuple_Check(item)) {
            const Py_ssize_t cells = PyTuple_Size(item);
            for (Py_ssize_t j = 0; j < cells; ++j) {
                PyObject* cell = PyTuple_GetItem(item, j);
                if (kind_of_node(cell) && !visit(cell)) return false;
            }
        }
    }
    return true;
}

bool is_plain_int(PyObject* value) noexcept { return PyLong_CheckExact(value); }

bool is_node(PyObject* value) noexcept { return kind_of_node(value).has_value(); }

// A new field value with each child (as `is_child` tells: a node one way, a
// node's index the other) turned into `convert(child)`, a new reference,
// through a tuple of children and a tuple of rows of children; anything else
// kept as it is. Null with an exception set on failure.
template <class IsChild, class Convert>
PyObject* mapped_field(PyObject* value, IsChild is_child, Convert convert) {
    if (is_child(value)) return convert(value);
    if (!PyTuple_Check(value)) {
        Py_INCREF(value);
        return value;
    }
    const Py_ssize_t size = PyTuple_Size(value);
    Ref out(PyTuple_New(size));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyTuple_GetItem(value, i);
        PyObject* made = nullptr;
        if (is_child(item)) {
            made = convert(item);
        } else if (PyTuple_Check(item)) {
            const Py_ssize_t cells = PyTuple_Size(item);
            Ref row(PyTuple_New(cells));
            if (!row) return nullptr;
            for (Py_ssize_t j = 0; j < cells; ++j) {
                PyObject* cell = PyTuple_GetItem(item, j);
                PyObject* cell_made = nullptr;
                if (is_child(cell)) {
                    cell_made = convert(cell);
                } else {
                    Py_INCREF(cell);
                    cell_made = cell;
                }
                if (cell_made == nullptr || PyTuple_SetItem(row.get(), j, cell_made) < 0) return nullptr;
            }
            made = row.release();
        } else {
            Py_INCREF(item);
            made = item;
        }
        if (made == nullptr || PyTuple_SetItem(out.get(), i, made) < 0) return nullptr;
    }
    return out.release();
}

class Flattener {
public:
    // (sources, records, nodes), or Py_NotImplemented when some node's
    // class is not registered; null with an exception set on failure.
    PyObject* run(PyObject* root) {
        sources_.reset(PyList_New(0));
        records_.reset(PyList_New(0));
        nodes_.reset(PyList_New(0));
        if (!sources_ || !records_ || !nodes_) return nullptr;
        work_.push_back({root, false});
        while (!work_.empty()) {
            auto [node, expanded] = work_.back();
            if (index_.count(node) != 0) {
                work_.pop_back();
                continue;
            }
            const std::optional<NodeKind> kind = kind_of_node(node);
            if (!kind) Py_RETURN_NOTIMPLEMENTED;
            if (!expanded) {
                work_.back().second = true;
                if (!push_children(node, *kind)) return nullptr;
                continue;
            }
            work_.pop_back();
            if (!record(node, *kind)) return nullptr;
        }
        Ref sources(PyList_AsTuple(sources_.get()));
        if (!sources) return nullptr;
        return PyTuple_Pack(3, sources.get(), records_.get(), nodes_.get());
    }

private:
    bool push_children(PyObject* node, NodeKind kind) {
        const std::size_t start = work_.size();
        for (std::size_t f = 0; f < node_field_count(kind); ++f) {
            Ref value(node_field(node, kind, f));
            if (!value) return false;
            for_each_child(value.get(), [&](PyObject* child) {
                // The tree holds every child for as long as the walk runs.
                work_.push_back({child, false});
                return true;
            });
        }
        // Children in source order: the first is taken first.
        std::reverse(work_.begin() + static_cast<std::ptrdiff_t>(start), work_.end());
        return true;
    }

    PyObject* index_of(PyObject* node) {
        const auto found = index_.find(node);
        if (found == index_.end()) {
            PyErr_SetString(PyExc_RuntimeError, "a child node was not recorded before its parent");
            return nullptr;
        }
        return PyLong_FromSsize_t(found->second);
    }

    // The value as a record holds it: nodes as their indexes.
    PyObject* encoded(PyObject* value) {
        if (is_plain_int(value)) {
            PyErr_Format(PyExc_TypeError, "a syntax node's field holds the integer %R: no node class has such a field",
                         value);
            return nullptr;
        }
        return mapped_field(value, is_node, [this](PyObject* node) { return index_of(node); });
    }

    Py_ssize_t source_index(PyObject* source) {
        const auto found = source_index_.find(source);
        if (found != source_index_.end()) return found->second;
        const Py_ssize_t at = PyList_Size(sources_.get());
        if (PyList_Append(sources_.get(), source) < 0) return -1;
        source_index_.emplace(source, at);
        return at;
    }

    bool record(PyObject* node, NodeKind kind) {
        const std::size_t fields = node_field_count(kind);
        Ref record(PyTuple_New(static_cast<Py_ssize_t>(4 + fields)));
        if (!record) return false;
        PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(node));
        Py_INCREF(cls);
        PyTuple_SetItem(record.get(), 0, cls);
        const auto* located = reinterpret_cast<LocatedObject*>(node);
        Py_ssize_t at = -1;
        Py_ssize_t start = 0;
        Py_ssize_t end = 0;
        if (located->source != nullptr) {
            at = source_index(located->source);
            if (at < 0) return false;
            start = located->start;
            end = located->end;
        }
        for (const auto& [slot, number] : {std::pair{1, at}, std::pair{2, start}, std::pair{3, end}}) {
            PyObject* value = PyLong_FromSsize_t(number);
            if (value == nullptr || PyTuple_SetItem(record.get(), slot, value) < 0) return false;
        }
        for (std::size_t f = 0; f < fields; ++f) {
            Ref value(node_field(node, kind, f));
            if (!value) return false;
            PyObject* made = encoded(value.get());
            if (made == nullptr || PyTuple_SetItem(record.get(), static_cast<Py_ssize_t>(4 + f), made) < 0) return false;
        }
        index_.emplace(node, PyList_Size(records_.get()));
        return PyList_Append(records_.get(), record.get()) == 0 && PyList_Append(nodes_.get(), node) == 0;
    }

    Ref sources_;
    Ref records_;
    Ref nodes_;  // the nodes in the order of their records
    std::vector<std::pair<PyObject*, bool>> work_;  // borrowed: the tree holds them
    std::unordered_map<PyObject*, Py_ssize_t> index_;
    std::unordered_map<PyObject*, Py_ssize_t> source_index_;
};

class Rebuilder {
public:
    Rebuilder(PyObject* sources, PyObject* records) : sources_(sources), records_(records) {}

    // The list of nodes, or Py_NotImplemented when some record's class is
    // not registered; null with an exception set on failure.
    PyObject* run() {
        Ref built(PyList_New(0));
        if (!built) return nullptr;
        built_ = built.get();
        const Py_ssize_t count = PyList_Size(records_);
        for (Py_ssize_t r = 0; r < count; ++r) {
            PyObject* record = PyList_GetItem(records_, r);
            if (!PyTuple_Check(record) || PyTuple_Size(record) < 4) return fail("a record is not a tuple of a node");
            PyObject* cls = PyTuple_GetItem(record, 0);
            if (!PyType_Check(cls)) return fail("a record does not start with a class");
            const std::optional<NodeKind> kind = kind_of_class(reinterpret_cast<PyTypeObject*>(cls));
            if (!kind) Py_RETURN_NOTIMPLEMENTED;
            const std::size_t fields = node_field_count(*kind);
            if (PyTuple_Size(record) != static_cast<Py_ssize_t>(4 + fields))
                return fail("a record has not the fields of its class");
            PyObject* source = nullptr;
            Span span{};
            if (!position(record, source, span)) return nullptr;
            std::array<Ref, max_node_fields> owned;
            for (std::size_t f = 0; f < fields; ++f) {
                owned[f].reset(decoded(PyTuple_GetItem(record, static_cast<Py_ssize_t>(4 + f))));
                if (!owned[f]) return nullptr;
            }
            PyObject* values[max_node_fields] = {};
            for (std::size_t f = 0; f < fields; ++f) values[f] = owned[f].release();
            Ref node(make_node(*kind, source, span, values));  // takes the values
            if (!node || PyList_Append(built_, node.get()) < 0) return nullptr;
        }
        return built.release();
    }

private:
    static PyObject* fail(const char* message) {
        PyErr_Format(PyExc_ValueError, "not the records of a syntax tree: %s", message);
        return nullptr;
    }

    bool position(PyObject* record, PyObject*& source, Span& span) {
        const Py_ssize_t at = PyLong_AsSsize_t(PyTuple_GetItem(record, 1));
        const Py_ssize_t start = PyLong_AsSsize_t(PyTuple_GetItem(record, 2));
        const Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GetItem(record, 3));
        if (PyErr_Occurred()) return false;
        if (at < 0) return true;
        if (at >= PyTuple_Size(sources_)) {
            fail("a source index is out of range");
            return false;
        }
        source = PyTuple_GetItem(sources_, at);
        if (!valid_span(source, start, end)) return false;
        span = Span{static_cast<std::size_t>(start), static_cast<std::size_t>(end)};
        return true;
    }

    // A new reference to the node a record names by its index, or null.
    PyObject* node_at(PyObject* index) {
        const Py_ssize_t at = PyLong_AsSsize_t(index);
        if (at == -1 && PyErr_Occurred()) return nullptr;
        if (at < 0 || at >= PyList_Size(built_)) return fail("a child comes after its parent");
        PyObject* node = PyList_GetItem(built_, at);
        Py_INCREF(node);
        return node;
    }

    PyObject* decoded(PyObject* value) {
        return mapped_field(value, is_plain_int, [this](PyObject* index) { return node_at(index); });
    }

    PyObject* sources_;  // borrowed
    PyObject* records_;  // borrowed
    PyObject* built_ = nullptr;
};

}  // namespace

PyObject* flatten_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "flatten() takes one node");
        return nullptr;
    }
    try {
        return Flattener().run(args[0]);
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* rebuild_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyTuple_Check(args[0]) || !PyList_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "rebuild() takes (sources: tuple, records: list)");
        return nullptr;
    }
    try {
        return Rebuilder(args[0], args[1]).run();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace dax::python
