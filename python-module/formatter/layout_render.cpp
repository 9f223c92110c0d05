// The formatter's layout engine (quarrow_dax.formatter.layout documents it):
// a document, the flat list of what to print, becomes lines that fit the
// width wherever the text allows. Each GROUP is tried flat once, up to where
// it overflows, so the cost grows with the document's size; nothing here
// recurses. Widths count display columns (display_width.hpp): a wide East
// Asian character takes two, a combining mark none.
#include <algorithm>
#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "display_width.hpp"
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
    op_fill = 10,  // a group whose breaks, when it does not fit, are taken one at a time
    op_join = 11,  // nothing, or a line break where what follows up to its next break does not fit
};

// The classes of the pieces other than str and int, from register_layout;
// kept for the life of the process.
PyTypeObject* atom_type = nullptr;
PyTypeObject* comment_type = nullptr;
PyTypeObject* multiline_type = nullptr;

enum class Kind { Text, Op, Atom, Comment, Multiline };

// A str piece's UTF-8 and its width in columns.
struct Text {
    std::string_view utf8;
    Py_ssize_t columns = 0;
};

bool text_of(PyObject* str, Text& text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) return false;
    text.utf8 = std::string_view(utf8, static_cast<std::size_t>(size));
    // Most pieces are ASCII (as many characters as bytes): their width is their length.
    const Py_ssize_t characters = PyUnicode_GetLength(str);
    if (characters < 0) return false;
    text.columns = characters == size ? size : display_width(text.utf8);
    return true;
}

// The width of a str in columns, or -1 with an exception set.
Py_ssize_t columns_of(PyObject* str) {
    Text text;
    return text_of(str, text) ? text.columns : -1;
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

// The text of the comment `piece`, and whether it is an inline comment of
// one line: one that stands on a line with code around it. False with an
// exception set.
bool inline_comment(PyObject* piece, Text& text, bool& one_line_inline) {
    CommentView comment;
    if (!comment_of(piece, comment) || !text_of(comment.text, text)) return false;
    one_line_inline = comment.place == comment_inline && text.utf8.find('\n') == std::string_view::npos;
    return true;
}

// A `///` comment: the standard grammar reads one only right before the
// token it precedes, so none is moved past code.
bool is_doc_comment(const Text& text) noexcept { return text.utf8.substr(0, 3) == "///"; }

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

// The width in columns of a text piece or of an atom's text, or -1 with an
// exception set.
Py_ssize_t piece_columns(PyObject* piece, Kind kind) {
    if (kind != Kind::Atom) return columns_of(piece);
    const Ref text(atom_text(piece));
    return text ? columns_of(text.get()) : -1;
}

// A separator takes no space before it, even after an inline comment; nor
// does a text that brings its own.
bool takes_no_space(std::string_view text) noexcept {
    return text.empty() || text.front() == ',' || text.front() == ';' || text.front() == ' ';
}

// The output so far, piece by piece as layout.py appends them: what the
// last piece ends with and how many bytes of line breaks end it matter.
// Spaces that the layout put at the end of a line (an operator's, say,
// before a comment that moved to its own line) are taken off there: they
// come only from its own texts, never from a string, a name or a comment.
class Output {
public:
    explicit Output(std::string_view newline) : newline_(newline) {}

    // A text of the layout, whose spaces at the end may be taken off.
    void text(std::string_view piece) {
        if (piece.empty()) return;
        bytes_.append(piece);
        ends_with_space_ = piece.back() == ' ';
        if (!ends_with_space_) {
            pad_ = 0;
        } else {
            const std::size_t kept = piece.find_last_not_of(' ');
            pad_ = kept == std::string_view::npos ? pad_ + piece.size() : piece.size() - kept - 1;
        }
        newline_tail_ = 0;
    }
    // Text written as it is (a comment, a string over several lines).
    void verbatim(std::string_view piece) {
        bytes_.append(piece);
        pad_ = 0;
        ends_with_space_ = !piece.empty() && piece.back() == ' ';
        newline_tail_ = 0;
    }
    void spaces(Py_ssize_t count) {
        bytes_.append(static_cast<std::size_t>(count), ' ');
        pad_ += static_cast<std::size_t>(count);
        ends_with_space_ = true;
        newline_tail_ = 0;
    }
    void newline() {
        bytes_.resize(bytes_.size() - pad_);
        pad_ = 0;
        bytes_.append(newline_);
        ends_with_space_ = false;
        newline_tail_ += newline_.size();
        ++lines_;
    }
    bool ends_with_space() const noexcept { return ends_with_space_; }
    std::size_t lines() const noexcept { return lines_; }
    // The text without the line breaks (and the spaces) at its end.
    std::string_view finished() const noexcept {
        return std::string_view(bytes_).substr(0, bytes_.size() - (newline_tail_ ? newline_tail_ : pad_));
    }

private:
    std::string bytes_;
    std::string_view newline_;
    bool ends_with_space_ = false;
    std::size_t pad_ = 0;  // spaces of the layout's own at the end
    std::size_t newline_tail_ = 0;
    std::size_t lines_ = 0;
};

// A GROUP that can print flat: the index of its END, its text and width, and
// whether it ends with an inline comment (a space is due before what follows).
struct Flat {
    std::size_t end = 0;
    std::string text;
    Py_ssize_t columns = 0;
    bool spaced = false;
};

// A group that did not fit, from its GROUP (or FILL) to its END: a FILL
// decides each of its own breaks (those not inside a group within it) by
// whether what follows up to its next one fits on the line; `item_line` is
// the output line its current part started on.
struct Broken {
    bool fill = false;
    std::size_t item_line = 0;
};

class Renderer {
public:
    // `width`, `indent`: the layout's; the first line starts `first_offset`
    // columns in and every other line `prefix` columns in, where the text
    // will be written (a model file's indentation): they count against the
    // width but are not printed.
    Renderer(Py_ssize_t width, Py_ssize_t indent, std::string_view newline, PyObject* expand, Py_ssize_t first_offset,
             Py_ssize_t prefix)
        : width_(std::max<Py_ssize_t>(width - prefix, 1)), indent_(indent), deepest_(width_ / 2),
          extra_(first_offset - prefix), out_(newline), expand_(expand) {}

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
            Flat flat;
            bool is_flat = false;
            switch (kind) {
                case Kind::Text:
                    text = piece;
                    break;
                case Kind::Atom: {
                    owned.reset(atom_text(piece));
                    if (!owned) return nullptr;
                    if (expand_ != Py_None) {
                        Py_ssize_t trail = 0;
                        const Py_ssize_t columns = columns_of(owned.get());
                        if (columns < 0 || !trail_width(stack_.size(), trail)) return nullptr;
                        if (columns + trail > room()) {
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
                    if (!operation(op, is_flat, flat)) return nullptr;
                    break;
                }
                case Kind::Comment: {
                    CommentView comment;
                    if (!comment_of(piece, comment) || !put_comment(piece, comment)) return nullptr;
                    break;
                }
                case Kind::Multiline: {
                    Text written;
                    if (!text_of(piece, written) || !write(written)) return nullptr;
                    break;
                }
            }
            if (is_flat) {
                if (!put_text(flat.text, flat.columns)) return nullptr;
                spaced_ = flat.spaced;
            } else if (text != nullptr) {
                Text written;
                if (!text_of(text, written)) return nullptr;
                if (!written.utf8.empty()) {  // an empty text changes nothing
                    if (!put_text(written.utf8, written.columns)) return nullptr;
                    spaced_ = false;
                }
            }
        }
        if (!suffix_.empty() && !put_suffix()) return nullptr;
        const std::string_view result = out_.finished();
        return PyUnicode_DecodeUTF8(result.data(), static_cast<Py_ssize_t>(result.size()), "strict");
    }

private:
    // The columns left on the current line (or on the next one, before it
    // holds any text).
    Py_ssize_t room() const noexcept { return width_ - extra_ - (open_line() ? column_ : levels_.back()); }

    // Whether the next text goes on the current line: it holds text, and
    // no comment closes it.
    bool open_line() const noexcept { return content_ && !line_closed_; }

    // A line break, a change of indentation, or a group tried flat: sets
    // `is_flat` and the group's text when it prints flat.
    bool operation(long op, bool& is_flat, Flat& flat) {
        if (op <= op_hard) {
            if ((op == op_line || op == op_soft) && !broken_.empty() && broken_.back().fill) {
                bool fits = false;
                if (!fill_fits(op == op_line ? 1 : 0, fits)) return false;
                if (fits) {
                    if (op == op_line) {
                        out_.text(" ");
                        column_ += 1;
                        spaced_ = false;
                    }
                    return true;
                }
            }
            if (!break_line()) return false;
            if (!broken_.empty()) broken_.back().item_line = out_.lines();
        } else if (op == op_group || op == op_fill) {
            bool fits = false;
            if (!try_flat(room(), flat, fits)) return false;
            if (fits) {
                Py_ssize_t trail = 0;
                if (!trail_width(flat.end, trail)) return false;
                if (flat.columns + trail <= room()) {
                    stack_.resize(flat.end);
                    is_flat = true;
                    return true;
                }
            }
            broken_.push_back(Broken{op == op_fill, out_.lines()});
        } else if (op == op_end) {
            if (!broken_.empty()) broken_.pop_back();
        } else if (op == op_join) {
            return join();
        } else if (op == op_indent) {
            levels_.push_back(std::min(levels_.back() + indent_, deepest_));
        } else if (op == op_dedent) {
            if (levels_.size() == 1) {
                PyErr_SetString(PyExc_ValueError, "a document dedents more than it indents");
                return false;
            }
            levels_.pop_back();
        } else if (op == op_align) {
            levels_.push_back(open_line() ? std::min(column_, deepest_) : levels_.back());
        } else if (op == op_blank) {
            if (blank_taken_) {  // written before the comments it follows
                blank_taken_ = false;
                return end_line();
            }
            if (!empty_line()) return false;
            spaced_ = false;
        }
        return true;
    }

    // Whether an empty line is the next thing printed: only line breaks,
    // changes of indentation, ends of groups and trailing comments (which
    // will not trail either) stand before it.
    bool empty_line_next(bool& found) {
        found = false;
        for (std::size_t index = stack_.size(); index-- > 0;) {
            PyObject* piece = stack_[index];
            Kind kind{};
            if (!kind_of(piece, kind)) return false;
            if (kind == Kind::Comment) {
                CommentView comment;
                if (!comment_of(piece, comment)) return false;
                if (comment.place != comment_trail) return true;
            } else if (kind == Kind::Op) {
                const long op = PyLong_AsLong(piece);
                if (op == -1 && PyErr_Occurred()) return false;
                if (op == op_blank) {
                    found = true;
                    return true;
                }
                if (op == op_group || op == op_fill || op == op_join) return true;
            } else {
                return true;
            }
        }
        return true;
    }

    // Ends the current line, if it holds text.
    bool break_line() {
        if (!content_) return true;
        return end_line();
    }

    // Text on the current line, indented when it starts the line, set off
    // by a space after an inline comment unless it brings its own. After a
    // `///` comment the line ends first.
    bool put_text(std::string_view text, Py_ssize_t columns) {
        if (content_ && line_closed_ && !end_line()) return false;
        if (!content_) {
            column_ = levels_.back();
            if (column_) out_.spaces(column_);
            content_ = true;
            while (!text.empty() && text.front() == ' ') text.remove_prefix(1), --columns;
        } else if (spaced_ && !takes_no_space(text)) {
            out_.text(" ");
            column_ += 1;
        }
        out_.text(text);
        column_ += columns;
        return true;
    }

    // The group whose GROUP (or FILL) was the last piece taken, printed flat
    // from the next piece on: `fits` when it can be, no wider than `room`.
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
                if (text.utf8.empty()) continue;  // an empty text changes nothing
                if (spaced && !takes_no_space(text.utf8)) {
                    flat.text += ' ';
                    width += 1;
                    last_ends_with_space = true;
                    any_part = true;
                }
                spaced = false;
                width += text.columns;
                if (width > room) return true;
                flat.text += text.utf8;
                last_ends_with_space = text.utf8.back() == ' ';
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
                } else if (op == op_group || op == op_fill) {
                    ++depth;
                } else if (op == op_end) {
                    if (depth == 0) {
                        flat.end = index;
                        flat.columns = width;
                        flat.spaced = spaced;
                        fits = true;
                        return true;
                    }
                    --depth;
                } else if (op != op_soft && op != op_join && op != op_indent && op != op_align && op != op_dedent) {
                    return true;  // a line break that must stay
                }
            } else if (kind == Kind::Comment) {
                Text text;
                bool one_line_inline = false;
                if (!inline_comment(piece, text, one_line_inline)) return false;
                if (!one_line_inline) return true;
                if (any_part && !last_ends_with_space) {
                    flat.text += ' ';
                    width += 1;
                }
                width += text.columns;
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

    // Whether the part of a broken FILL after its break (`space` columns
    // wide when it does not break) fits on the current line. A part after a
    // trailing comment, or after a part that took several lines, starts a
    // new line.
    bool fill_fits(Py_ssize_t space, bool& fits) {
        fits = false;
        // A trailing comment ends the line it trails, as where no part of
        // the group follows it on its line.
        if (!open_line() || out_.lines() != broken_.back().item_line || !suffix_.empty()) return true;
        Py_ssize_t width = 0;
        if (!part_width(space, room(), width)) return false;
        fits = width <= room();
        return true;
    }

    // The width of the next part, `start` plus its flat text: the pieces up
    // to the next break of the group being printed (not one of a group
    // within it), or to its END and on to the next place a line may break.
    // Past `limit`, or where the part holds a line break, it is any width
    // over `limit`. Comments that only a break follows count for nothing:
    // there they end their line, and an inline comment before the break
    // becomes a trailing one when the result is formatted again.
    bool part_width(Py_ssize_t start, Py_ssize_t limit, Py_ssize_t& width) {
        width = start;
        std::size_t depth = 0;
        Py_ssize_t pending = 0;  // inline comments not yet followed by text
        bool trailing = false;   // a trailing comment: text after it must start a new line
        for (std::size_t index = stack_.size(); index-- > 0;) {
            PyObject* piece = stack_[index];
            Kind kind{};
            if (!kind_of(piece, kind)) return false;
            if (kind == Kind::Text || kind == Kind::Atom) {
                const Py_ssize_t columns = piece_columns(piece, kind);
                if (columns < 0) return false;
                if (trailing && columns > 0) {
                    width = limit + 1;
                    return true;
                }
                width += pending + columns;
                pending = 0;
            } else if (kind == Kind::Op) {
                const long op = PyLong_AsLong(piece);
                if (op == -1 && PyErr_Occurred()) return false;
                if ((op == op_line || op == op_soft) && depth == 0) break;
                if (op == op_line) {
                    width += 1;
                } else if (op == op_group || op == op_fill) {
                    ++depth;
                } else if (op == op_end) {
                    if (depth == 0) {
                        Py_ssize_t trail = 0;
                        if (!trail_width(index, trail)) return false;
                        if (trail > 0 && trailing) {
                            width = limit + 1;
                            return true;
                        }
                        if (trail > 0) width += pending + trail;
                        break;
                    }
                    --depth;
                } else if (op != op_soft && op != op_join && op != op_indent && op != op_align && op != op_dedent) {
                    width = limit + 1;
                    return true;
                }
            } else if (kind == Kind::Comment) {
                CommentView comment;
                if (!comment_of(piece, comment)) return false;
                if (comment.place == comment_trail) {
                    trailing = true;
                    continue;
                }
                if (comment.place != comment_inline) {
                    width = limit + 1;
                    return true;
                }
                const Py_ssize_t columns = columns_of(comment.text);
                if (columns < 0) return false;
                pending += columns + 1;
            } else {
                width = limit + 1;
                return true;
            }
            if (width > limit) return true;
        }
        return true;
    }

    // The width of the text from stack index `top - 1` (the next piece
    // when `top` is the stack's size) to the next place a line may break.
    // An inline comment that only a break follows counts for nothing: where
    // that break is taken it ends its line, as a trailing comment does.
    bool trail_width(std::size_t top, Py_ssize_t& width) {
        width = 0;
        Py_ssize_t pending = 0;  // inline comments not yet followed by text
        for (std::size_t index = top; index-- > 0;) {
            PyObject* piece = stack_[index];
            Kind kind{};
            if (!kind_of(piece, kind)) return false;
            if (kind == Kind::Text || kind == Kind::Atom) {
                const Py_ssize_t columns = piece_columns(piece, kind);
                if (columns < 0) return false;
                width += pending + columns;
                pending = 0;
            } else if (kind == Kind::Op) {
                const long op = PyLong_AsLong(piece);
                if (op == -1 && PyErr_Occurred()) return false;
                if (op != op_group && op != op_fill && op != op_end && op != op_indent && op != op_align &&
                    op != op_dedent)
                    break;
            } else if (kind == Kind::Comment) {
                CommentView comment;
                if (!comment_of(piece, comment)) return false;
                if (comment.place != comment_inline) break;
                const Py_ssize_t columns = columns_of(comment.text);
                if (columns < 0) return false;
                pending += columns + 1;
            } else {
                Text text;
                if (!text_of(piece, text)) return false;
                const std::size_t end = text.utf8.find('\n');
                width += pending + display_width(text.utf8.substr(0, end));
                return true;
            }
        }
        return true;
    }

    // A JOIN, between a name and its value: the value stays on the line
    // where all of it fits there; it goes whole to the next line where it
    // fits there; otherwise it breaks anyway, and stays on the line where
    // its first line (up to the next place a line may break) fits on it. An
    // atom before that place (`NOT ` then a parenthesis read as one atom) is
    // opened when it does not fit with what stands around it, so that its
    // own first line is what must fit: the value is laid out the same
    // whether the builder handed it over as atoms or as their parts, which
    // depends on how the source was spaced (a second run must agree).
    bool join() {
        if (!open_line() || stack_.empty()) return true;
        const Py_ssize_t next_line = width_ - levels_.back();
        Py_ssize_t whole = 0;
        if (!part_width(0, std::max(room(), next_line), whole)) return false;
        if (whole <= room()) return true;
        if (whole <= next_line) return break_line();
        if (expand_ != Py_None && !open_head_atoms()) return false;
        Py_ssize_t head = 0;
        if (!trail_width(stack_.size(), head)) return false;
        return head <= room() || break_line();
    }

    // Opens, from the top of the stack up to the next place a line may
    // break, each atom that does not fit on the line with the text before
    // it and after it up to that place.
    bool open_head_atoms() {
        Py_ssize_t before = 0;  // the columns of the text above `index`
        std::size_t index = stack_.size();
        while (index-- > 0) {
            PyObject* piece = stack_[index];
            Kind kind{};
            if (!kind_of(piece, kind)) return false;
            if (kind == Kind::Text) {
                const Py_ssize_t columns = columns_of(piece);
                if (columns < 0) return false;
                before += columns;
            } else if (kind == Kind::Op) {
                const long op = PyLong_AsLong(piece);
                if (op == -1 && PyErr_Occurred()) return false;
                if (op != op_group && op != op_fill && op != op_end && op != op_indent && op != op_align &&
                    op != op_dedent)
                    return true;
            } else if (kind == Kind::Atom) {
                Ref text(atom_text(piece));
                if (!text) return false;
                const Py_ssize_t columns = columns_of(text.get());
                Py_ssize_t trail = 0;
                if (columns < 0 || !trail_width(index, trail)) return false;
                if (before + columns + trail <= room()) return true;
                // Its pieces take its place; the scan goes on with the first.
                std::vector<PyObject*> above(stack_.begin() + static_cast<std::ptrdiff_t>(index) + 1, stack_.end());
                stack_.resize(index);
                if (!expand(piece)) return false;
                index = stack_.size();
                stack_.insert(stack_.end(), above.begin(), above.end());
            } else if (kind == Kind::Comment) {
                // An inline comment before the value stands on its line
                // with it, as `trail_width` counts it.
                Text text;
                bool one_line_inline = false;
                if (!inline_comment(piece, text, one_line_inline)) return false;
                if (!one_line_inline) return true;
                before += text.columns + 1;
            } else {
                return true;  // a text of several lines: measured as it is
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

    bool write(const Text& text) {
        if (content_ && line_closed_ && !end_line()) return false;
        if (!content_) {
            column_ = levels_.back();
            if (column_) out_.spaces(column_);
            content_ = true;
        } else if (spaced_ && !takes_no_space(text.utf8)) {
            out_.text(" ");
            column_ += 1;
        }
        spaced_ = false;
        out_.verbatim(text.utf8);
        const std::size_t last_break = text.utf8.rfind('\n');
        if (last_break == std::string_view::npos) {
            column_ += text.columns;
        } else {
            column_ = display_width(text.utf8.substr(last_break + 1));
            extra_ = 0;
        }
        return true;
    }

    bool put_suffix() {
        for (PyObject* comment : suffix_) {
            CommentView view;
            Text text;
            if (!comment_of(comment, view) || !text_of(view.text, text)) return false;
            if (!out_.ends_with_space()) out_.text(" ");
            out_.verbatim(text.utf8);
        }
        suffix_.clear();
        return true;
    }

    bool end_line() {
        if (!content_) return true;
        if (!suffix_.empty() && !put_suffix()) return false;
        spaced_ = false;
        out_.newline();
        content_ = false;
        blank_ = false;
        line_closed_ = false;
        extra_ = 0;
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

    // Places the comment `piece` (its fields in `comment`). A trailing
    // comment waits for the end of its line; one that cannot trail the line
    // (a comment running to the line's end is there already) and every
    // comment of its own line take a line of their own; a trailing comment
    // may join a block comment of its own line, but no code. An inline
    // comment after trailing ones puts them out first, so that the comments
    // keep their order; one that starts a line keeps an empty line before it.
    bool put_comment(PyObject* piece, const CommentView& comment) {
        Text text;
        if (!text_of(comment.text, text)) return false;
        bool trail_ended = false;  // a comment running to the line's end trails the line
        if (!suffix_.empty()) {
            CommentView last;
            if (!comment_of(suffix_.back(), last)) return false;
            trail_ended = last.runs_to_line_end;
        }
        if (comment.place == comment_inline) {
            if (content_ && (line_closed_ || trail_ended)) {
                if (!end_line()) return false;
            } else if (!suffix_.empty()) {
                if (!put_suffix()) return false;
                spaced_ = true;
            }
            if (!content_ && comment.blank_before && !empty_line()) return false;
            if (content_ && !spaced_ && !out_.ends_with_space()) spaced_ = true;
            if (!write(text)) return false;
            spaced_ = true;
            return true;
        }
        if (comment.place == comment_trail && content_ && !trail_ended) {
            suffix_.push_back(piece);
            // Nothing but a line break may follow a `///` comment.
            line_closed_ = line_closed_ || is_doc_comment(text);
            return true;
        }
        if (!end_line()) return false;
        if (comment.blank_before && comment.place == comment_own && !empty_line()) return false;
        if (comment.place == comment_trail && trail_ended && !blank_taken_) {
            // A trailing comment that cannot trail its line goes on a line
            // of its own, where a second run reads it as the first comment
            // of what follows: an empty line due before that goes before it
            // now, so that the second run finds it where it puts it.
            bool blank_next = false;
            if (!empty_line_next(blank_next)) return false;
            if (blank_next) {
                if (!empty_line()) return false;
                blank_taken_ = true;
            }
        }
        if (!write(text)) return false;
        if (comment.place == comment_own && !comment.runs_to_line_end) {
            line_closed_ = true;  // a trailing comment may follow it on its line
            return true;
        }
        return end_line();
    }

    const Py_ssize_t width_;
    const Py_ssize_t indent_;
    const Py_ssize_t deepest_;
    Py_ssize_t extra_;  // columns taken before the first line, beyond those of every line
    Output out_;
    PyObject* expand_;
    // The pieces still to print, the next one last (borrowed: the document
    // and the expansions in `expanded_` hold them).
    std::vector<PyObject*> stack_;
    std::vector<Ref> expanded_;
    std::vector<Py_ssize_t> levels_{0};  // the indentation of each level, never deeper than deepest_
    std::vector<Broken> broken_;          // the groups being printed broken, innermost last
    std::vector<PyObject*> suffix_;       // trailing comments for the end of the line (borrowed)
    Py_ssize_t column_ = 0;
    bool content_ = false;      // the current line holds text
    bool spaced_ = false;       // an inline comment wants a space before the next text
    bool blank_ = true;         // no empty line may follow (the start, or one just written)
    bool line_closed_ = false;  // a `///` comment ends the line: only a line break may follow
    bool blank_taken_ = false;  // the next empty line was written before the comments it follows
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
        if ((nargs != 5 && nargs != 7) || !PyList_Check(args[0]) || !PyUnicode_Check(args[3])) {
            PyErr_SetString(PyExc_TypeError,
                            "render() takes (pieces: list, width, indent, newline: str, expand[, first_offset, prefix])");
            return nullptr;
        }
        Py_ssize_t numbers[4] = {0, 0, 0, 0};  // width, indent, first_offset, prefix
        for (Py_ssize_t i = 0; i < 4; ++i) {
            const Py_ssize_t index = i < 2 ? i + 1 : i + 3;
            if (index >= nargs) break;
            numbers[i] = PyLong_AsSsize_t(args[index]);
            if (numbers[i] == -1 && PyErr_Occurred()) return nullptr;
        }
        Py_ssize_t size = 0;
        const char* newline = PyUnicode_AsUTF8AndSize(args[3], &size);
        if (newline == nullptr) return nullptr;
        Renderer renderer(numbers[0], numbers[1], std::string_view(newline, static_cast<std::size_t>(size)), args[4],
                          numbers[2], numbers[3]);
        return renderer.run(args[0]);
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* display_width(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1 || !PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "display_width() takes (text: str)");
        return nullptr;
    }
    const Py_ssize_t columns = columns_of(args[0]);
    return columns < 0 ? nullptr : PyLong_FromSsize_t(columns);
}

}  // namespace dax::python::format
