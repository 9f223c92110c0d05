// read_json: the tokens of one scan (positioned_scan.hpp) made into the
// Python values of the positioned readers, with a vector of open containers
// instead of recursion.
#include <bit>
#include <charconv>
#include <cstdint>
#include <optional>
#include <vector>

#include "json/code_points.hpp"
#include "json/json_entries.hpp"
#include "json/positioned_scan.hpp"
#include "syntax_boundary.hpp"

namespace dax::python::json {

namespace {

using dax::json::Text;
using dax::json::Token;
using dax::json::TokenKind;

// Integers of up to this many characters fit a long long.
constexpr std::size_t short_integer = 18;

struct Classes {
    PyObject* object;  // borrowed, as are the others
    PyObject* array;
    PyObject* string;
};

struct Names {
    Ref start{PyUnicode_InternFromString("start")};
    Ref end{PyUnicode_InternFromString("end")};
    Ref scalar_spans{PyUnicode_InternFromString("_scalar_spans")};
    bool ok() const noexcept { return start && end && scalar_spans; }
};

// What a build comes to: the value, a refusal (a key given twice), or a
// Python error set.
enum class Outcome { built, refused, error };

class ValueBuilder {
public:
    ValueBuilder(PyObject* source, Text text, Classes classes, PyObject* placed_keys, const Names& names)
        : source_(source), text_(text), classes_(classes), placed_keys_(placed_keys), names_(names) {}

    // Builds the value of `tokens` (one whole document) into `result`.
    Outcome build(const std::vector<Token>& tokens, Ref& result) {
        for (const Token& token : tokens) {
            Ref value;
            bool scalar = false;
            switch (token.kind) {
                case TokenKind::ObjectStart:
                case TokenKind::ArrayStart:
                    if (!open(token)) return Outcome::error;
                    continue;
                case TokenKind::Key:
                    open_.back().key = key(token);
                    if (!open_.back().key) return Outcome::error;
                    continue;
                case TokenKind::ObjectEnd:
                case TokenKind::ArrayEnd:
                    value = close(token);
                    break;
                case TokenKind::String:
                    value = string(token);
                    break;
                default:
                    value = scalar_value(token);
                    scalar = true;
                    break;
            }
            if (!value) return Outcome::error;
            if (open_.empty()) {
                result = std::move(value);
                return Outcome::built;
            }
            const Outcome stored = store(std::move(value), scalar ? &token : nullptr);
            if (stored != Outcome::built) return stored;
        }
        PyErr_SetString(PyExc_RuntimeError, "read_json: the scan ended inside a container");
        return Outcome::error;
    }

private:
    struct Frame {
        Ref container;
        bool object;
        bool placed;
        Ref key;  // the key whose value comes next (objects)
        Ref scalar_spans;
    };

    bool full() const noexcept { return placed_keys_ == Py_None; }

    bool set_offset(PyObject* target, PyObject* name, std::size_t offset) {
        Ref number(PyLong_FromSize_t(offset));
        return number && PyObject_SetAttr(target, name, number.get()) == 0;
    }

    // A container opens: placed (of the reader's classes, with its start)
    // when every value is, or at the root and its children, or when it
    // holds a marker; else a plain dict or list.
    bool open(const Token& token) {
        const bool object = token.kind == TokenKind::ObjectStart;
        const bool placed = full() || open_.size() <= 1 || token.marked;
        Ref container(placed ? PyObject_CallNoArgs(object ? classes_.object : classes_.array)
                             : (object ? PyDict_New() : PyList_New(0)));
        if (!container) return false;
        if (placed && !set_offset(container.get(), names_.start.get(), token.start)) return false;
        open_.push_back(Frame{std::move(container), object, placed, Ref(), Ref()});
        return true;
    }

    Ref close(const Token& token) {
        Frame frame = std::move(open_.back());
        open_.pop_back();
        if (frame.placed) {
            if (!set_offset(frame.container.get(), names_.end.get(), token.end)) return Ref();
            if (frame.scalar_spans &&
                PyObject_SetAttr(frame.container.get(), names_.scalar_spans.get(), frame.scalar_spans.get()) < 0) {
                return Ref();
            }
        }
        return std::move(frame.container);
    }

    // Stores `value` in the innermost container; `scalar`, the token of a
    // number or literal, is also given a span when every value is placed.
    Outcome store(Ref value, const Token* scalar) {
        Frame& frame = open_.back();
        Ref index;
        if (frame.object) {
            const Py_ssize_t before = PyDict_Size(frame.container.get());
            if (PyDict_SetItem(frame.container.get(), frame.key.get(), value.get()) < 0) return Outcome::error;
            // A key given twice: the careful reader says where.
            if (PyDict_Size(frame.container.get()) == before) return Outcome::refused;
        } else {
            if (scalar != nullptr && full()) {
                index.reset(PyLong_FromSsize_t(PyList_Size(frame.container.get())));
                if (!index) return Outcome::error;
            }
            if (PyList_Append(frame.container.get(), value.get()) < 0) return Outcome::error;
        }
        if (scalar != nullptr && full()) {
            if (!frame.scalar_spans) {
                frame.scalar_spans.reset(PyDict_New());
                if (!frame.scalar_spans) return Outcome::error;
            }
            Ref span(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(scalar->start),
                                   static_cast<Py_ssize_t>(scalar->end)));
            if (!span) return Outcome::error;
            PyObject* member = frame.object ? frame.key.get() : index.get();
            if (PyDict_SetItem(frame.scalar_spans.get(), member, span.get()) < 0) return Outcome::error;
        }
        return Outcome::built;
    }

    // The str a string token writes: its text when it has no escape, else
    // decoded (lone surrogates kept, as Python's json keeps them).
    Ref text_of(const Token& token) {
        const auto start = static_cast<Py_ssize_t>(token.start + 1);
        const auto end = static_cast<Py_ssize_t>(token.end - 1);
        if (!token.escaped) return Ref(PyUnicode_Substring(source_, start, end));
        decoded_.clear();
        dax::json::decode_string(text_.subspan(token.start + 1, token.end - token.start - 2), decoded_);
        int order = std::endian::native == std::endian::little ? -1 : 1;
        return Ref(PyUnicode_DecodeUTF32(reinterpret_cast<const char*>(decoded_.data()),
                                         static_cast<Py_ssize_t>(decoded_.size() * sizeof(std::uint32_t)),
                                         "surrogatepass", &order));
    }

    Ref key(const Token& token) {
        Ref text = text_of(token);
        if (!text) return text;
        PyObject* interned = text.release();
        PyUnicode_InternInPlace(&interned);
        return Ref(interned);
    }

    // A string value: of the string class, with its span, when every value
    // is placed or it is the value of a placed key of a placed object.
    Ref string(const Token& token) {
        Ref text = text_of(token);
        if (!text) return text;
        bool placed = full();
        if (!placed && !open_.empty()) {
            const Frame& frame = open_.back();
            if (frame.placed && frame.object) {
                const int found = PySet_Contains(placed_keys_, frame.key.get());
                if (found < 0) return Ref();
                placed = found == 1;
            }
        }
        if (!placed) return text;
        Ref value(PyObject_CallFunctionObjArgs(classes_.string, text.get(), nullptr));
        if (!value || !set_offset(value.get(), names_.start.get(), token.start) ||
            !set_offset(value.get(), names_.end.get(), token.end)) {
            return Ref();
        }
        return value;
    }

    Ref scalar_value(const Token& token) {
        switch (token.kind) {
            case TokenKind::True: return Ref(Py_NewRef(Py_True));
            case TokenKind::False: return Ref(Py_NewRef(Py_False));
            case TokenKind::Null: return Ref(Py_NewRef(Py_None));
            default: break;
        }
        // The scan let only ASCII digits, signs, points and exponents in.
        digits_.clear();
        for (std::size_t i = token.start; i < token.end; ++i) digits_.push_back(static_cast<char>(text_[i]));
        if (token.kind == TokenKind::Real) {
            digits_.push_back('\0');
            const double number = PyOS_string_to_double(digits_.data(), nullptr, nullptr);
            if (number == -1.0 && PyErr_Occurred()) return Ref();
            return Ref(PyFloat_FromDouble(number));
        }
        if (digits_.size() <= short_integer) {
            long long number = 0;
            std::from_chars(digits_.data(), digits_.data() + digits_.size(), number);
            return Ref(PyLong_FromLongLong(number));
        }
        digits_.push_back('\0');
        return Ref(PyLong_FromString(digits_.data(), nullptr, 10));
    }

    PyObject* source_;
    Text text_;
    Classes classes_;
    PyObject* placed_keys_;
    const Names& names_;
    std::vector<Frame> open_;
    std::vector<std::uint32_t> decoded_;
    std::vector<char> digits_;
};

std::optional<dax::json::MarkerSet> marker_set(PyObject* markers) {
    dax::json::MarkerSet set;
    if (markers == Py_None) return set;
    Ref iterator(PyObject_GetIter(markers));
    if (!iterator) return std::nullopt;
    while (Ref item{PyIter_Next(iterator.get())}) {
        if (!PyUnicode_Check(item.get())) {
            PyErr_SetString(PyExc_TypeError, "read_json() markers must be str");
            return std::nullopt;
        }
        const CodePoints chars(item.get());
        if (!chars.ok()) return std::nullopt;
        set.add(std::vector<std::uint32_t>(chars.text().begin(), chars.text().end()));
    }
    if (PyErr_Occurred()) return std::nullopt;
    return set;
}

}  // namespace

PyObject* read_json(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 6) {
            PyErr_SetString(PyExc_TypeError,
                            "read_json() takes (text, object_class, array_class, string_class, placed_keys, markers)");
            return nullptr;
        }
        PyObject* source = args[0];
        if (!PyUnicode_Check(source)) {
            PyErr_SetString(PyExc_TypeError, "read_json() argument 1 must be str");
            return nullptr;
        }
        for (int i = 1; i <= 3; ++i) {
            if (!PyType_Check(args[i])) {
                PyErr_Format(PyExc_TypeError, "read_json() argument %d must be a class", i + 1);
                return nullptr;
            }
        }
        PyObject* placed_keys = args[4];
        if (placed_keys != Py_None && !PyAnySet_Check(placed_keys)) {
            PyErr_SetString(PyExc_TypeError, "read_json() placed_keys must be a set or None");
            return nullptr;
        }
        std::optional<dax::json::MarkerSet> markers = marker_set(args[5]);
        if (!markers) return nullptr;
        const Names names;
        if (!names.ok()) return nullptr;

        const CodePoints chars(source);
        if (!chars.ok()) return nullptr;
        const Text text = chars.text();
        auto tokens = without_lock([&] { return dax::json::scan(text, &*markers); });
        if (!tokens) Py_RETURN_NONE;

        ValueBuilder builder(source, text, Classes{args[1], args[2], args[3]}, placed_keys, names);
        Ref value;
        switch (builder.build(*tokens, value)) {
            case Outcome::error: return nullptr;
            case Outcome::refused: Py_RETURN_NONE;
            case Outcome::built: break;
        }
        return PyTuple_Pack(1, value.get());
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace dax::python::json
