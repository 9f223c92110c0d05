// The formatter's work list (style._Builder.work): the parts that the style's
// handlers give for each node, read in order into the document's pieces,
// with the comments of the source put out where the anchors among the parts
// and the nodes' positions say. The handlers and the rules for comments stay
// in Python (flush, flush_trailing); this loop only dispatches, and calls
// them where the builder's state says they have work to do. The state they
// change (where the next comment starts, whether trailing comments wait, where
// the code printed last ends) is read again after every such call.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <vector>

#include "format_entries.hpp"
#include "syntax/located.hpp"
#include "syntax/node_classes.hpp"
#include "syntax_boundary.hpp"

namespace dax::python::format {

namespace {

constexpr long long no_token = 1LL << 62;  // style._NO_TOKEN: an offset past any text
constexpr long op_blank = 4;               // layout.BLANK: the operations up to it break lines

// Set by register_work; kept for the life of the process.
struct Registered {
    PyTypeObject* anchor = nullptr;     // style._At
    PyTypeObject* placed = nullptr;     // style._Placed
    PyTypeObject* atom = nullptr;       // layout.Atom
    PyTypeObject* multiline = nullptr;  // layout.Multiline
    PyTypeObject* located = nullptr;    // the nodes' base
    PyObject* handlers = nullptr;       // style._HANDLERS
} classes;

// Interned attribute names.
struct Names {
    PyObject* pieces;
    PyObject* replacements;
    PyObject* starts;
    PyObject* next_start;
    PyObject* next_trail;
    PyObject* waiting;
    PyObject* printed_end;
    PyObject* width;
    PyObject* atom_span;
    PyObject* flat_style;
    PyObject* declared;
    PyObject* flush;
    PyObject* flush_trailing;
    PyObject* at;
    PyObject* last_of;
} names{};

bool intern_names() {
    if (names.last_of != nullptr) return true;  // the last one made
    PyObject** slots[] = {&names.pieces,     &names.replacements, &names.starts,     &names.next_start,
                          &names.next_trail, &names.waiting,      &names.printed_end, &names.width,
                          &names.atom_span,  &names.flat_style,   &names.declared,    &names.flush,
                          &names.flush_trailing, &names.at,       &names.last_of};
    const char* texts[] = {"pieces",     "replacements", "starts",   "next_start", "next_trail",
                           "waiting",    "printed_end",  "width",    "atom_span",  "flat_style",
                           "declared",   "flush",        "flush_trailing", "at",   "last_of"};
    static_assert(std::size(slots) == std::size(texts));
    for (std::size_t i = 0; i < std::size(slots); ++i) {
        PyObject* name = PyUnicode_InternFromString(texts[i]);
        if (name == nullptr) return false;
        *slots[i] = name;  // kept for the life of the process
    }
    return true;
}

bool long_attr(PyObject* object, PyObject* name, long long& value) {
    Ref attr(PyObject_GetAttr(object, name));
    if (!attr) return false;
    value = PyLong_AsLongLong(attr.get());
    return !(value == -1 && PyErr_Occurred());
}

// The builder's comment state, as this loop keeps it between calls into
// Python: read after each call, `printed_end` written before.
struct CommentState {
    long long next_start = no_token;
    long long next_trail = no_token;
    bool waiting = false;
    long long printed_end = 0;

    bool read(PyObject* builder) {
        if (!long_attr(builder, names.next_start, next_start) || !long_attr(builder, names.next_trail, next_trail) ||
            !long_attr(builder, names.printed_end, printed_end))
            return false;
        Ref queue(PyObject_GetAttr(builder, names.waiting));
        if (!queue) return false;
        const int truth = PyObject_IsTrue(queue.get());
        waiting = truth > 0;
        return truth >= 0;
    }

    bool write(PyObject* builder) const {
        Ref end(PyLong_FromLongLong(printed_end));
        return end && PyObject_SetAttr(builder, names.printed_end, end.get()) == 0;
    }
};

// The start offsets of the source's code tokens (the builder's `starts`, a
// buffer of native 64-bit integers), or none.
class Starts {
public:
    ~Starts() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool open(PyObject* starts) {
        if (starts == Py_None) return true;
        if (PyObject_GetBuffer(starts, &view_, PyBUF_SIMPLE) < 0) return false;
        held_ = true;
        count_ = view_.len / static_cast<Py_ssize_t>(sizeof(std::int64_t));
        return true;
    }
    bool any() const noexcept { return held_; }
    Py_ssize_t count() const noexcept { return count_; }
    long long operator[](Py_ssize_t i) const noexcept { return static_cast<const std::int64_t*>(view_.buf)[i]; }

private:
    Py_buffer view_{};
    bool held_ = false;
    Py_ssize_t count_ = 0;
};

// A new instance of the tuple class `type` (a NamedTuple of the formatter)
// holding `items`, made without calling the class; null with an exception set.
PyObject* new_record(PyTypeObject* type, std::initializer_list<PyObject*> items) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref record(alloc(type, static_cast<Py_ssize_t>(items.size())));
    if (!record) return nullptr;
    Py_ssize_t index = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        if (PyTuple_SetItem(record.get(), index++, item) < 0) return nullptr;
    }
    return record.release();
}

bool is_leaf(std::optional<NodeKind> kind) noexcept {
    if (!kind) return false;
    switch (*kind) {
        case NodeKind::Number:
        case NodeKind::String:
        case NodeKind::Boolean:
        case NodeKind::Blank:
        case NodeKind::Parameter:
        case NodeKind::Identifier:
        case NodeKind::TableRef:
        case NodeKind::BracketRef:
        case NodeKind::TableColumnRef:
        case NodeKind::HierarchyRef:
        case NodeKind::TypedLiteral:
        case NodeKind::Axis:
        case NodeKind::Omitted:
            return true;
        default:
            return false;
    }
}

bool is_compound(PyObject* node) noexcept {
    const auto kind = kind_of_node(node);
    return kind == NodeKind::FunctionCall || kind == NodeKind::Binary || kind == NodeKind::Unary ||
           kind == NodeKind::Paren || kind == NodeKind::TableConstructor || kind == NodeKind::RowConstructor;
}

class WorkList {
public:
    explicit WorkList(PyObject* builder) : builder_(builder) {}

    bool run(PyObject* items, bool whole) {
        if (!intern_names()) return false;
        pieces_.reset(PyObject_GetAttr(builder_, names.pieces));
        replacements_.reset(PyObject_GetAttr(builder_, names.replacements));
        flat_style_.reset(PyObject_GetAttr(builder_, names.flat_style));
        declared_.reset(PyObject_GetAttr(builder_, names.declared));
        Ref starts(PyObject_GetAttr(builder_, names.starts));
        if (!pieces_ || !replacements_ || !flat_style_ || !declared_ || !starts || !starts_.open(starts.get()))
            return false;
        if (!PyList_Check(pieces_.get()) || !PyDict_Check(replacements_.get())) {
            PyErr_SetString(PyExc_TypeError, "the builder's pieces must be a list and its replacements a dict");
            return false;
        }
        long long width = 0;
        if (!long_attr(builder_, names.width, width) || !long_attr(builder_, names.atom_span, atom_span_) ||
            !state_.read(builder_))
            return false;
        width_ = static_cast<Py_ssize_t>(width);
        const bool atoms = PyDict_Size(replacements_.get()) == 0;
        if (!push(items)) return false;
        // The parts of the nodes being laid out, each read in order from
        // where it stopped: a node's parts go on top and are read first.
        while (!frames_.empty()) {
            Frame& frame = frames_.back();
            if (frame.next == PyList_Size(frame.list.get())) {
                frames_.pop_back();
                continue;
            }
            PyObject* item = PyList_GetItem(frame.list.get(), frame.next++);
            if (item == nullptr) return false;
            if (PyUnicode_CheckExact(item)) {
                if (!append(item)) return false;
            } else if (PyLong_CheckExact(item)) {
                const long op = PyLong_AsLong(item);
                if (op == -1 && PyErr_Occurred()) return false;
                if (op <= op_blank && (state_.waiting || state_.next_trail < no_token) && !call(names.flush_trailing))
                    return false;
                if (!append(item)) return false;
            } else if (item == Py_None) {
                continue;
            } else if (Py_TYPE(item) == classes.anchor) {
                if (!anchor(item)) return false;
            } else if (Py_TYPE(item) == classes.placed) {
                if (!placed(item)) return false;
            } else if (PyList_CheckExact(item)) {
                if (!run_of_pieces(item)) return false;
            } else if (Py_TYPE(item) == classes.multiline || Py_TYPE(item) == classes.atom) {
                if (!append(item)) return false;
            } else if (!node(item, whole, atoms)) {
                return false;
            }
        }
        return state_.write(builder_);
    }

private:
    struct Frame {
        Ref list;
        Py_ssize_t next;
    };

    bool push(PyObject* list) {
        if (!PyList_Check(list)) {
            PyErr_SetString(PyExc_TypeError, "a handler's parts must be a list");
            return false;
        }
        Py_INCREF(list);
        frames_.push_back(Frame{Ref(list), 0});
        return true;
    }

    bool append(PyObject* piece) { return PyList_Append(pieces_.get(), piece) == 0; }

    // Calls a method of the builder that may change its comment state.
    bool call(PyObject* method, PyObject* argument = nullptr) {
        if (!state_.write(builder_)) return false;
        Ref result(argument == nullptr ? PyObject_CallMethodObjArgs(builder_, method, nullptr)
                                       : PyObject_CallMethodObjArgs(builder_, method, argument, nullptr));
        return result && state_.read(builder_);
    }

    bool flush(long long offset) {
        Ref where(PyLong_FromLongLong(offset));
        return where && call(names.flush, where.get());
    }

    // An anchor (style._At, a tuple (first, last)): the comments before its
    // first token go out; the code printed last then ends within its last
    // token.
    bool anchor(PyObject* item) {
        if (!starts_.any()) return true;
        if (PyTuple_Size(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "an anchor is (first, last)");
            return false;
        }
        const long long first = PyLong_AsLongLong(PyTuple_GetItem(item, 0));
        const long long last = PyLong_AsLongLong(PyTuple_GetItem(item, 1));
        if (PyErr_Occurred()) return false;
        if (0 <= first && first < starts_.count() && starts_[first] > state_.next_start && !flush(starts_[first]))
            return false;
        if (0 <= last && last < starts_.count()) state_.printed_end = starts_[last] + 1;
        return true;
    }

    // A piece placed by position (style._Placed, a tuple (piece, start, end)).
    bool placed(PyObject* item) {
        if (PyTuple_Size(item) != 3) {
            PyErr_SetString(PyExc_TypeError, "a placed piece is (piece, start, end)");
            return false;
        }
        const long long start = PyLong_AsLongLong(PyTuple_GetItem(item, 1));
        const long long end = PyLong_AsLongLong(PyTuple_GetItem(item, 2));
        if (PyErr_Occurred()) return false;
        if (start > state_.next_start && !flush(start)) return false;
        if (!append(PyTuple_GetItem(item, 0))) return false;
        state_.printed_end = end;
        return true;
    }

    // A run of pieces: at once, unless comments must be placed in it.
    bool run_of_pieces(PyObject* list) {
        if (starts_.any()) return push(list);
        for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
            PyObject* piece = PyList_GetItem(list, i);
            const int truth = PyObject_IsTrue(piece);  // filter(None, ...)
            if (truth < 0 || (truth && !append(piece))) return false;
        }
        return true;
    }

    // A node, alone (where nothing binds around it) or with the binding
    // powers of its place: an atom where it can be one, else its handler's parts.
    bool node(PyObject* item, bool& whole, bool atoms) {
        PyObject* node = item;
        PyObject* min_bp = nullptr;
        PyObject* follow = nullptr;
        Ref zero;
        if (PyTuple_CheckExact(item)) {
            if (PyTuple_Size(item) != 3) {
                PyErr_SetString(PyExc_TypeError, "a node's place is (node, min_bp, follow)");
                return false;
            }
            node = PyTuple_GetItem(item, 0);
            min_bp = PyTuple_GetItem(item, 1);
            follow = PyTuple_GetItem(item, 2);
        } else {
            zero.reset(PyLong_FromLong(0));
            if (!zero) return false;
            min_bp = follow = zero.get();
        }
        if (!PyObject_TypeCheck(node, classes.located)) {
            PyErr_Format(PyExc_TypeError, "a work list holds no %R", node);
            return false;
        }
        Py_INCREF(node);
        Ref hold_node(node);  // held across the calls into Python below
        const auto* located = reinterpret_cast<const LocatedObject*>(node);
        const bool placed = located->source != nullptr;
        const long long start = located->start;
        const long long end = located->end;
        // The comments before the node go before any group it opens.
        if (placed && start > state_.next_start && !flush(start)) return false;
        Ref key(PyLong_FromVoidPtr(node));
        if (!key) return false;
        PyObject* replacement = PyDict_Size(replacements_.get()) ? PyDict_GetItemWithError(replacements_.get(), key.get())
                                                                 : nullptr;
        if (replacement == nullptr && PyErr_Occurred()) return false;
        if (replacement != nullptr) {
            if (!state_.write(builder_)) return false;
            Ref last(PyObject_CallMethodObjArgs(builder_, names.last_of, node, nullptr));
            Ref anchor(last ? PyObject_CallMethodObjArgs(builder_, names.at, Py_None, last.get(), nullptr) : nullptr);
            Ref list(anchor ? PyList_New(1) : nullptr);
            if (!list) return false;
            PyList_SetItem(list.get(), 0, anchor.release());
            if (!push(list.get())) return false;
            Py_INCREF(replacement);
            hold_node.reset(replacement);
            node = replacement;
        } else if (atoms && placed && end - start <= atom_span_ && !whole && is_compound(node) &&
                   end <= state_.next_start) {
            const long low = PyLong_AsLong(min_bp);
            const long high = PyLong_AsLong(follow);
            if (PyErr_Occurred()) return false;
            Ref text(flat_text(node, low, high, width_, flat_style_.get(), declared_.get()));
            if (!text) return false;
            if (text.get() != Py_None) {
                Ref atom(new_record(classes.atom, {text.get(), item}));
                if (!atom || !append(atom.get())) return false;
                state_.printed_end = end;
                return true;
            }
            // Otherwise it never fits on one line: laid out part by part at once.
        } else if (placed && is_leaf(kind_of_node(node)) && kind_of_node(node) != NodeKind::Omitted) {
            // A leaf of the source where comments are placed: its text, the
            // comments before it out already.
            const long low = PyLong_AsLong(min_bp);
            const long high = PyLong_AsLong(follow);
            if (PyErr_Occurred()) return false;
            Ref text(flat_text(node, low, high, -1, flat_style_.get(), declared_.get()));
            if (!text) return false;
            if (text.get() != Py_None) {  // else a line break in it: its handler makes it a Multiline
                if (!append(text.get())) return false;
                state_.printed_end = end;
                return true;
            }
        }
        whole = false;
        PyObject* handler = PyDict_GetItemWithError(classes.handlers, reinterpret_cast<PyObject*>(Py_TYPE(node)));
        if (handler == nullptr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_KeyError, "no handler for %R", Py_TYPE(node));
            return false;
        }
        if (!state_.write(builder_)) return false;
        Ref parts(PyObject_CallFunctionObjArgs(handler, builder_, node, min_bp, follow, nullptr));
        if (!parts || !state_.read(builder_)) return false;
        const int truth = PyObject_IsTrue(parts.get());
        if (truth < 0) return false;
        return !truth || push(parts.get());
    }

    PyObject* builder_;
    Ref pieces_;
    Ref replacements_;
    Ref flat_style_;
    Ref declared_;
    Starts starts_;
    CommentState state_;
    Py_ssize_t width_ = 0;
    long long atom_span_ = 0;
    std::vector<Frame> frames_;
};

// Whether one of `starts` (a sorted list of comment start offsets) lies in
// [start, end).
bool comment_inside(PyObject* starts, Py_ssize_t start, Py_ssize_t end, bool& inside) {
    if (!PyList_Check(starts)) {
        PyErr_SetString(PyExc_TypeError, "the comment starts must be a list");
        return false;
    }
    Py_ssize_t low = 0;
    Py_ssize_t high = PyList_Size(starts);
    while (low < high) {  // the first start not before `start`
        const Py_ssize_t middle = low + (high - low) / 2;
        const Py_ssize_t value = PyLong_AsSsize_t(PyList_GetItem(starts, middle));
        if (value == -1 && PyErr_Occurred()) return false;
        if (value < start) low = middle + 1;
        else high = middle;
    }
    if (low == PyList_Size(starts)) {
        inside = false;
        return true;
    }
    const Py_ssize_t first = PyLong_AsSsize_t(PyList_GetItem(starts, low));
    if (first == -1 && PyErr_Occurred()) return false;
    inside = first < end;
    return true;
}

}  // namespace

PyObject* child(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (classes.handlers == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "quarrow_dax.formatter.style has not registered its classes");
            return nullptr;
        }
        if (nargs < 2 || nargs > 4 || !PyTuple_Check(args[0]) || PyTuple_Size(args[0]) != 7) {
            PyErr_SetString(PyExc_TypeError, "child() takes (context, node, min_bp=0, follow=0)");
            return nullptr;
        }
        PyObject* context = args[0];
        PyObject* node = args[1];
        const long min_bp = nargs > 2 ? PyLong_AsLong(args[2]) : 0;
        const long follow = nargs > 3 ? PyLong_AsLong(args[3]) : 0;
        if (PyErr_Occurred()) return nullptr;
        // The node alone where nothing binds around it, else with the powers of its place.
        Ref item;
        if (min_bp == 0 && follow == 0) {
            item.reset(Py_NewRef(node));
        } else {
            Ref low(PyLong_FromLong(min_bp));
            Ref high(PyLong_FromLong(follow));
            if (low && high) item.reset(PyTuple_Pack(3, node, low.get(), high.get()));
        }
        if (!item) return nullptr;
        const int replaced = PyObject_IsTrue(PyTuple_GetItem(context, 0));
        const int placing = PyObject_IsTrue(PyTuple_GetItem(context, 1));
        if (replaced < 0 || placing < 0) return nullptr;
        if (replaced) return item.release();
        PyObject* style = PyTuple_GetItem(context, 5);
        PyObject* declared = PyTuple_GetItem(context, 6);
        const std::optional<NodeKind> kind = kind_of_node(node);
        const auto* located = reinterpret_cast<const LocatedObject*>(node);
        const bool spanned = kind && located->source != nullptr;
        if (is_leaf(kind)) {
            // Where comments are placed, a leaf of the source is printed when
            // the work list reaches it (WorkList::node), which puts out the
            // comments before it first.
            if (!placing) {
                Ref text(flat_text(node, min_bp, follow, -1, style, declared));
                if (!text) return nullptr;
                if (text.get() != Py_None) return text.release();
            }
        } else if (spanned && is_compound(node)) {
            const Py_ssize_t atom_span = PyLong_AsSsize_t(PyTuple_GetItem(context, 3));
            const Py_ssize_t width = PyLong_AsSsize_t(PyTuple_GetItem(context, 4));
            if (PyErr_Occurred()) return nullptr;
            if (located->end - located->start > atom_span) return item.release();
            if (placing) {
                bool inside = false;
                if (!comment_inside(PyTuple_GetItem(context, 2), located->start, located->end, inside)) return nullptr;
                if (inside) return item.release();
            }
            Ref text(flat_text(node, min_bp, follow, width, style, declared));
            if (!text) return nullptr;
            if (text.get() != Py_None) {
                Ref atom(new_record(classes.atom, {text.get(), item.get()}));
                if (!atom || !placing) return atom.release();
                Ref start(PyLong_FromSsize_t(located->start));
                Ref end(PyLong_FromSsize_t(located->end));
                if (!start || !end) return nullptr;
                return new_record(classes.placed, {atom.get(), start.get(), end.get()});
            }
        }
        return item.release();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

namespace {

// The index in `starts` of the first code token at or after the start (or,
// `at_end`, the end) of `node`: false with an exception set, or true with
// `found` false when there is none to find (no starts, no node, a node
// built in code).
bool token_index(PyObject* starts_object, bool at_end, PyObject* node, Py_ssize_t& index, bool& found) {
    found = false;
    if (starts_object == Py_None || node == Py_None) return true;
    if (!PyObject_TypeCheck(node, classes.located)) {
        PyErr_Format(PyExc_TypeError, "no position in %R", node);
        return false;
    }
    const auto* located = reinterpret_cast<const LocatedObject*>(node);
    if (located->source == nullptr) return true;
    Starts starts;
    if (!starts.open(starts_object)) return false;
    const long long offset = at_end ? located->end : located->start;
    Py_ssize_t low = 0;
    Py_ssize_t high = starts.count();
    while (low < high) {
        const Py_ssize_t middle = low + (high - low) / 2;
        if (starts[middle] < offset) low = middle + 1;
        else high = middle;
    }
    index = low;
    found = true;
    return true;
}

// Binds (starts, at_end: bool, node[, number]) with `number` defaulting to `fallback`.
bool bind_index(const char* name, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t fallback, bool with_flag,
                bool& at_end, PyObject*& node, Py_ssize_t& number) {
    const Py_ssize_t fixed = with_flag ? 3 : 2;
    if (nargs < fixed || nargs > fixed + 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd or %zd arguments", name, fixed, fixed + 1);
        return false;
    }
    at_end = false;
    if (with_flag) {
        const int truth = PyObject_IsTrue(args[1]);
        if (truth < 0) return false;
        at_end = truth != 0;
    }
    node = args[fixed - 1];
    number = nargs > fixed ? PyLong_AsSsize_t(args[fixed]) : fallback;
    return !(number == -1 && PyErr_Occurred());
}

// An anchor for the tokens `first` to `last`, or None when `found` is false.
PyObject* anchor_or_none(bool found, Py_ssize_t first, Py_ssize_t last) {
    if (!found) Py_RETURN_NONE;
    Ref low(PyLong_FromSsize_t(first));
    Ref high(PyLong_FromSsize_t(last));
    if (!low || !high) return nullptr;
    return new_record(classes.anchor, {low.get(), high.get()});
}

}  // namespace

PyObject* token_index(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    bool at_end = false;
    PyObject* node = nullptr;
    Py_ssize_t offset = 0;
    if (!bind_index("token_index", args, nargs, 0, true, at_end, node, offset)) return nullptr;
    Py_ssize_t index = 0;
    bool found = false;
    if (!token_index(args[0], at_end, node, index, found)) return nullptr;
    if (!found) Py_RETURN_NONE;
    return PyLong_FromSsize_t(index + offset);
}

PyObject* anchor_first(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        bool at_end = false;
        PyObject* node = nullptr;
        Py_ssize_t count = 1;
        if (!bind_index("anchor_first", args, nargs, 1, false, at_end, node, count)) return nullptr;
        Py_ssize_t first = 0;
        bool found = false;
        if (!token_index(args[0], false, node, first, found)) return nullptr;
        return anchor_or_none(found, first, first + count - 1);
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* anchor_after(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        bool at_end = false;
        PyObject* node = nullptr;
        Py_ssize_t offset = 0;
        if (!bind_index("anchor_after", args, nargs, 0, false, at_end, node, offset)) return nullptr;
        Py_ssize_t after = 0;
        bool found = false;
        if (!token_index(args[0], true, node, after, found)) return nullptr;
        return anchor_or_none(found, after + offset, after + offset);
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* register_work(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6 || !PyDict_Check(args[5])) {
        PyErr_SetString(PyExc_TypeError, "register_work() takes (_At, _Placed, Atom, Multiline, Located, handlers)");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < 5; ++i) {
        if (!PyType_Check(args[i])) {
            PyErr_SetString(PyExc_TypeError, "register_work() takes five classes and a dict");
            return nullptr;
        }
    }
    for (Py_ssize_t i = 0; i < 6; ++i) Py_INCREF(args[i]);  // kept for the life of the process
    classes.anchor = reinterpret_cast<PyTypeObject*>(args[0]);
    classes.placed = reinterpret_cast<PyTypeObject*>(args[1]);
    classes.atom = reinterpret_cast<PyTypeObject*>(args[2]);
    classes.multiline = reinterpret_cast<PyTypeObject*>(args[3]);
    classes.located = reinterpret_cast<PyTypeObject*>(args[4]);
    classes.handlers = args[5];
    Py_RETURN_NONE;
}

PyObject* work(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (classes.handlers == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "quarrow_dax.formatter.style has not registered its classes");
            return nullptr;
        }
        if (nargs != 3) {
            PyErr_SetString(PyExc_TypeError, "work() takes (builder, items, whole)");
            return nullptr;
        }
        const int whole = PyObject_IsTrue(args[2]);
        if (whole < 0) return nullptr;
        WorkList list(args[0]);
        if (!list.run(args[1], whole != 0)) return nullptr;
        Py_RETURN_NONE;
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace dax::python::format
