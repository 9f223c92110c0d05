// The formatter's layout engine (quarrow_dax.formatter.layout documents it):
// a document, the flat list of what to print, becomes lines that fit the
// width wherever the text allows. Each GROUP is tried flat once, up to where
// it overflows, so the cost grows with the document's size; nothing here
// recurses. Widths count characters (code points), as Python's len() does.
#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "format_entries.hpp"
#include "syntax_boundary.hpp"

namespace dax::python::format {

namespace {

// The document's operations, as layout.py numbers them.
enum Op : long {
    op_line = 1,    // a space in a flat group, a line break in a broken one
    op_soft = 2,    // nothing in a flat group, a line break in a broken one
    op_hard = 3,    // always a line break
    op_blank = 4,   // a line break and an empty line (never two in a row)
    op_indent = 5,  // the lines broken from here on are one level deeper
    op_align = 6,   // ... indented to the column where this stands
    op_dedent = 7,  // back to the indentation before
    op_group = 8,
    op_end = 9,
};

// The classes of the pieces other than str and int, from register_layout;
// kept for the life of the process.
PyTypeObject* atom_type = nullptr;
PyTypeObject* comment_type = nullptr;
PyTypeObject* multiline_type = nullptr;

enum class Kind { Text, Op, Atom, Comment, Multiline };

// A str piece's UTF-8 and its length in characters.
struct Text {
    std::string_view utf8;
    Py_ssize_t chars = 0;
};

bool text_of(PyObject* str, Text& text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) return false;
    text.utf8 = std::string_view(utf8, static_cast<std::size_t>(size));
    text.chars = PyUnicode_GetLength(str);
    return text.chars >= 0;
}

// What kind of piece `piece` is; false with TypeError for anything else.
bool kind_of(PyObject* piece, Kind& kind) {
    PyTypeObject* type = Py_TYPE(piece);
    if (PyUnicode_CheckExact(piece)) kind = Kind::Text;
    else if (PyLong_CheckExact(piece)) kind = Kind::Op;
    else if (type == atom_type) kind = Kind::Atom;
    else if (type == comment_type) kind = Kind::Comment;
    else if (type == multiline_type) kind = Kind::Multiline;
    else {
        PyErr_Format(PyExc_TypeError, "a document holds no %R", piece);
        return false;
    }
    return true;
}

// A comment's fields (comments.Comment, a tuple).
struct CommentView {
    PyObject* text = nullptr;  // borrowed
    long place = 0;
    bool runs_to_line_end = false;
    bool blank_before = false;
};

bool comment_of(PyObject* comment, CommentView& view) {
    if (PyTuple_Size(comment) != 5) {
        PyErr_SetString(PyExc_TypeError, "a comment is (text, start, kind, runs_to_line_end, blank_before)");
        return false;
    }
    view.text = PyTuple_GetItem(comment, 0);
    view.place = PyLong_AsLong(PyTuple_GetItem(comment, 2));
    if (view.place == -1 && PyErr_Occurred()) return false;
    const int runs = PyObject_IsTrue(PyTuple_GetItem(comment, 3));
    const int blank = PyObject_IsTrue(PyTuple_GetItem(comment, 4));
    if (runs < 0 || blank < 0 || !PyUnicode_Check(view.text)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a comment's text is a str");
        return false;
    }
    view.runs_to_line_end = runs != 0;
    view.blank_before = blank != 0;
    return true;
}

// An atom's text (layout.Atom, a tuple (text, key)): a new reference, or
// null with an exception set.
PyObject* atom_text(PyObject* atom) {
    PyObject* text = PyTuple_Size(atom) == 2 ? PyTuple_GetItem(atom, 0) : nullptr;
    if (text == nullptr || !PyUnicode_Check(text)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an atom is (text: str, key)");
        return nullptr;
    }
    Py_INCREF(text);
    return text;
}

// A separator takes no space before it, even after an inline comment.
bool starts_with_separator(std::string_view text) noexcept {
    return !text.empty() && (text.front() == ',' || text.front() == ';');
}

// Characters (code points) in valid UTF-8.
Py_ssize_t count_chars(std::string_view utf8) noexcept {
    Py_ssize_t chars = 0;
    for (const char c : utf8) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return chars;
}

// The output so far, piece by piece as layout.py appends them: what the
// last piece ends with and how many bytes of line breaks end it matter.
class Output {
public:
    explicit Output(std::string_view newline) : newline_(newline) {}

    void append(std::string_view piece) {
        bytes_.append(piece);
        ends_with_space_ = !piece.empty() && piece.back() == ' ';
        newline_tail_ = piece == newline_ ? newline_tail_ + piece.size() : 0;
    }
    void spaces(Py_ssize_t count) {
        bytes_.append(static_cast<std::size_t>(count), ' ');
        ends_with_space_ = true;
        newline_tail_ = 0;
    }
    void newline() { append(newline_); }
    bool ends_with_space() const noexcept { return ends_with_space_; }
    // The text without the line breaks at its end.
    std::string_view finished() const noexcept { return std::string_view(bytes_).substr(0, bytes_.size() - newline_tail_); }

private:
    std::string bytes_;
    std::string_view newline_;
    bool ends_with_space_ = false;
    std::size_t newline_tail_ = 0;
};

// A GROUP that can print flat: the index of its END, its text and width, and
// whether it ends with an inline comment (a space is due before what follows).
struct Flat {
    std::size_t end = 0;
    std::string text;
    Py_ssize_t chars = 0;
    bool spaced = false;
};

class Renderer {
public:
    Renderer(Py_ssize_t width, Py_ssize_t indent, std::string_view newline, PyObject* expand)
        : width_(width), indent_(indent), deepest_(width / 2), out_(newline), expand_(expand) {}

    // The document laid out, or null with an exception set.
    PyObject* run(PyObject* pieces) {
        const Py_ssize_t count = PyList_Size(pieces);
        if (count < 0) return nullptr;
        stack_.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = count; i-- > 0;) stack_.push_back(PyList_GetItem(pieces, i));
        while (!stack_.empty()) {
            PyObject* piece = stack_.back();
            stack_.pop_back();
            Kind kind{};
            if (!kind_of(piece, kind)) return nullptr;
            Ref owned;  // an atom's text
            PyObject* text = nullptr;
            bool flat_spaced = false;
            std::string flat_text;
            Py_ssize_t flat_chars = 0;
            bool is_flat = false;
            switch (kind) {
                case Kind::Text:
                    text = piece;
                    break;
                case Kind::Atom: {
                    owned.reset(atom_text(piece));
                    if (!owned) return nullptr;
                    const Py_ssize_t room = width_ - (content_ ? column_ : levels_.back());
                    if (expand_ != Py_None) {
                        Py_ssize_t trail = 0;
                        if (!trail_width(stack_.size(), trail)) return nullptr;
                        if (PyUnicode_GetLength(owned.get()) + trail > room) {
                            if (!expand(piece)) return nullptr;
                            continue;
                        }
                    }
                    text = owned.get();
                    break;
                }
                case Kind::Op: {
                    const long op = PyLong_AsLong(piece);
                    if (op == -1 && PyErr_Occurred()) return nullptr;
                    if (!operation(op, is_flat, flat_text, flat_chars, flat_spaced)) return nullptr;
                    break;
                }
                case Kind::Comment: {
                    CommentView comment;
                    if (!comment_of(piece, comment) || !put_comment(piece, comment)) return nullptr;
                    break;
                }
                case Kind::Multiline: {
                    Text written;
                    if (!text_of(piece, written)) return nullptr;
                    write(written);
                    break;
                }
            }
            if (is_flat) {
                put_text(flat_text, flat_chars);
                spaced_ = flat_spaced;
            } else if (text != nullptr) {
                Text written;
                if (!text_of(text, written)) return nullptr;
                put_text(written.utf8, written.chars);
                spaced_ = false;
            }
        }
        if (!suffix_.empty() && !put_suffix()) return nullptr;
        const std::string_view result = out_.finished();
        return PyUnicode_DecodeUTF8(result.data(), static_cast<Py_ssize_t>(result.size()), "strict");
    }

private:
    // A line break, a change of indentation, or a group tried flat: sets
    // `is_flat` and the group's text when it prints flat.
    bool operation(long op, bool& is_flat, std::string& text, Py_ssize_t& chars, bool& spaced) {
        if (op <= op_hard) {
            if (content_) {
                if (!suffix_.empty()) {
                    if (!end_line()) return false;
                } else {
                    out_.newline();
                    blank_ = false;
                }
                content_ = false;
                spaced_ = false;
            }
        } else if (op == op_group) {
            const Py_ssize_t room = width_ - (content_ ? column_ : levels_.back());
            Flat flat;
            bool fits = false;
            if (!try_flat(room, flat, fits)) return false;
            if (fits) {
                Py_ssize_t trail = 0;
                if (!trail_width(flat.end, trail)) return false;
                if (flat.chars + trail <= room) {
                    stack_.resize(flat.end);
                    is_flat = true;
                    text = std::move(flat.text);
                    chars = flat.chars;
                    spaced = flat.spaced;
                }
            }
        } else if (op == op_indent) {
            levels_.push_back(std::min(levels_.back() + indent_, deepest_));
        } else if (op == op_dedent) {
            if (levels_.size() == 1) {
                PyErr_SetString(PyExc_ValueError, "a document dedents more than it indents");
                return false;
            }
            levels_.pop_back();
        } else if (op == op_align) {
            levels_.push_back(content_ ? std::min(column_, deepest_) : levels_.back());
        } else if (op == op_blank) {
            if (!empty_line()) return false;
            spaced_ = false;
        }
        // op_end: nothing to do for a broken group.
        return true;
    }

    // Text on the current line, indented when it starts the line, set off
    // by a space after an inline comment unless it is empty or a separator.
    void put_text(std::string_view text, Py_ssize_t chars) {
        if (!content_) {
            column_ = levels_.back();
            if (column_) out_.spaces(column_);
            content_ = true;
        } else if (spaced_ && !text.empty() && !starts_with_separator(text)) {
            out_.append(" ");
            column_ += 1;
        }
        out_.append(text);
        column_ += chars;
    }

    // The group whose GROUP was the last piece taken, printed flat from the
    // next piece on: `fits` when it can be, no wider than `room`.
    bool try_flat(Py_ssize_t room, Flat& flat, bool& fits) {
        fits = false;
        std::size_t depth = 0;
        Py_ssize_t width = 0;
        bool spaced = false;
        bool last_ends_with_space = false;  // the last part of the text so far
        bool any_part = false;
        for (std::size_t index = stack_.size(); index-- > 0;) {
            PyObject* piece = stack_[index];
            Kind kind{};
            if (!kind_of(piece, kind)) return false;
            if (kind == Kind::Text || kind == Kind::Atom) {
                Ref owned;
                PyObject* str = piece;
                if (kind == Kind::Atom) {
                    owned.reset(atom_text(piece));
                    if (!owned) return false;
                    str = owned.get();
                }
                Text text;
                if (!text_of(str, text)) return false;
                if (spaced && !starts_with_separator(text.utf8)) {
                    flat.text += ' ';
                    width += 1;
                    last_ends_with_space = true;
                    any_part = true;
                }
                spaced = false;
                width += text.chars;
                if (width > room) return true;
                flat.text += text.utf8;
                last_ends_with_space = !text.utf8.empty() && text.utf8.back() == ' ';
                any_part = true;
            } else if (kind == Kind::Op) {
                const long op = PyLong_AsLong(piece);
                if (op == -1 && PyErr_Occurred()) return false;
                if (op == op_line) {
                    width += 1;
                    flat.text += ' ';
                    last_ends_with_space = true;
                    any_part = true;
                    spaced = false;
                } else if (op == op_group) {
                    ++depth;
                } else if (op == op_end) {
                    if (depth == 0) {
                        flat.end = index;
                        flat.chars = width;
                        flat.spaced = spaced;
                        fits = true;
                        return true;
                    }
                    --depth;
                } else if (op != op_soft && op != op_indent && op != op_align && op != op_dedent) {
                    return true;  // a line break that must stay
                }
            } else if (kind == Kind::Comment) {
                CommentView comment;
                if (!comment_of(piece, comment)) return false;
                Text text;
                if (!text_of(comment.text, text)) return false;
                if (comment.place != comment_inline || text.utf8.find('\n') != std::string_view::npos) return true;
                if (any_part && !last_ends_with_space) {
                    flat.text += ' ';
                    width += 1;
                }
                width += text.chars;
                flat.text += text.utf8;
                last_ends_with_space = !text.utf8.empty() && text.utf8.back() == ' ';
                any_part = true;
                spaced = true;
            } else {
                return true;  // a line break in a text
            }
        }
        return true;  // no END: cannot be flat
    }

    // The width of the text from stack index `top - 1` (the next piece
    // when `top` is the stack's size) to the next place a line may break.
    bool trail_width(std::size_t top, Py_ssize_t& width) {
        width = 0;
        for (std::size_t index = top; index-- > 0;) {
            PyObject* piece = stack_[index];
            Kind kind{};
            if (!kind_of(piece, kind)) return false;
            if (kind == Kind::Text) {
                width += PyUnicode_GetLength(piece);
            } else if (kind == Kind::Atom) {
                Ref text(atom_text(piece));
                if (!text) return false;
                width += PyUnicode_GetLength(text.get());
            } else if (kind == Kind::Op) {
                const long op = PyLong_AsLong(piece);
                if (op == -1 && PyErr_Occurred()) return false;
                if (op != op_group && op != op_end && op != op_indent && op != op_align && op != op_dedent) break;
            } else if (kind == Kind::Comment) {
                CommentView comment;
                if (!comment_of(piece, comment)) return false;
                if (comment.place != comment_inline) break;
                width += PyUnicode_GetLength(comment.text) + 1;
            } else {
                Text text;
                if (!text_of(piece, text)) return false;
                const std::size_t end = text.utf8.find('\n');
                width += count_chars(text.utf8.substr(0, end));
                return true;
            }
        }
        return true;
    }

    // Replaces an atom that does not fit by the pieces `expand` gives.
    bool expand(PyObject* atom) {
        Ref pieces(PyObject_CallFunctionObjArgs(expand_, atom, nullptr));
        if (!pieces) return false;
        if (!PyList_Check(pieces.get())) {
            PyErr_SetString(PyExc_TypeError, "expand must return a list");
            return false;
        }
        const Py_ssize_t count = PyList_Size(pieces.get());
        for (Py_ssize_t i = count; i-- > 0;) stack_.push_back(PyList_GetItem(pieces.get(), i));
        expanded_.push_back(std::move(pieces));
        return true;
    }

    // --- the rare pieces: text holding a line break, comments, empty lines

    void write(const Text& text) {
        if (!content_) {
            column_ = levels_.back();
            if (column_) out_.spaces(column_);
            content_ = true;
        } else if (spaced_ && !starts_with_separator(text.utf8)) {
            out_.append(" ");
            column_ += 1;
        }
        spaced_ = false;
        out_.append(text.utf8);
        const std::size_t last_break = text.utf8.rfind('\n');
        if (last_break != std::string_view::npos) column_ = count_chars(text.utf8.substr(last_break + 1));
        else column_ += text.chars;
    }

    bool put_suffix() {
        std::string joined;
        for (PyObject* comment : suffix_) {
            CommentView view;
            Text text;
            if (!comment_of(comment, view) || !text_of(view.text, text)) return false;
            joined += ' ';
            joined += text.utf8;
        }
        suffix_.clear();
        out_.append(joined);
        return true;
    }

    bool end_line() {
        if (!content_) return true;
        if (!suffix_.empty() && !put_suffix()) return false;
        spaced_ = false;
        out_.newline();
        content_ = false;
        blank_ = false;
        return true;
    }

    bool empty_line() {
        if (!end_line()) return false;
        if (!blank_) {
            out_.newline();
            blank_ = true;
        }
        return true;
    }

    // Places the comment `piece` (its fields in `comment`).
    bool put_comment(PyObject* piece, const CommentView& comment) {
        Text text;
        if (!text_of(comment.text, text)) return false;
        if (comment.place == comment_inline) {
            if (content_ && !spaced_ && !out_.ends_with_space()) spaced_ = true;
            write(text);
            spaced_ = true;
            return true;
        }
        if (comment.place == comment_trail && content_) {
            bool line_ended = false;
            if (!suffix_.empty()) {
                CommentView last;
                if (!comment_of(suffix_.back(), last)) return false;
                line_ended = last.runs_to_line_end;
            }
            if (!line_ended) {
                suffix_.push_back(piece);
                return true;
            }
            // A line comment already ends this line: this one starts the next.
        }
        if (!end_line()) return false;
        if (comment.blank_before && comment.place == comment_own && !empty_line()) return false;
        write(text);
        return end_line();
    }

    const Py_ssize_t width_;
    const Py_ssize_t indent_;
    const Py_ssize_t deepest_;
    Output out_;
    PyObject* expand_;
    // The pieces still to print, the next one last (borrowed: the document
    // and the expansions in `expanded_` hold them).
    std::vector<PyObject*> stack_;
    std::vector<Ref> expanded_;
    std::vector<Py_ssize_t> levels_{0};  // the indentation of each level, never deeper than deepest_
    std::vector<PyObject*> suffix_;       // trailing comments for the end of the line (borrowed)
    Py_ssize_t column_ = 0;
    bool content_ = false;  // the current line holds text
    bool spaced_ = false;   // an inline comment wants a space before the next text
    bool blank_ = true;     // no empty line may follow (the start, or one just written)
};

}  // namespace

PyObject* register_layout(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyType_Check(args[0]) || !PyType_Check(args[1]) || !PyType_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "register_layout() takes (Atom, Comment, Multiline)");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < 3; ++i) Py_INCREF(args[i]);  // kept for the life of the process
    atom_type = reinterpret_cast<PyTypeObject*>(args[0]);
    comment_type = reinterpret_cast<PyTypeObject*>(args[1]);
    multiline_type = reinterpret_cast<PyTypeObject*>(args[2]);
    Py_RETURN_NONE;
}

PyObject* render(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (atom_type == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "quarrow_dax.formatter.layout has not registered its classes");
            return nullptr;
        }
        if (nargs != 5 || !PyList_Check(args[0]) || !PyUnicode_Check(args[3])) {
            PyErr_SetString(PyExc_TypeError, "render() takes (pieces: list, width, indent, newline: str, expand)");
            return nullptr;
        }
        const Py_ssize_t width = PyLong_AsSsize_t(args[1]);
        if (width == -1 && PyErr_Occurred()) return nullptr;
        const Py_ssize_t indent = PyLong_AsSsize_t(args[2]);
        if (indent == -1 && PyErr_Occurred()) return nullptr;
        Py_ssize_t size = 0;
        const char* newline = PyUnicode_AsUTF8AndSize(args[3], &size);
        if (newline == nullptr) return nullptr;
        Renderer renderer(width, indent, std::string_view(newline, static_cast<std::size_t>(size)), args[4]);
        return renderer.run(args[0]);
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace dax::python::format
