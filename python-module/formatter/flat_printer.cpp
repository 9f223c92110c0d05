// The formatter's flat printer: an expression's syntax objects as the text
// its layout prints on one line (what the formatter holds as an Atom), and
// the text of a leaf wherever the formatter prints one. The spellings follow
// quarrow_dax.syntax.spelling, whose operator tables are registered here;
// every text between the parts (brackets, the spaces inside them, after a
// separator, around an operator) comes from the formatter's one-line table
// (formatter/one_line.py), which the style's handlers follow too. Walked
// with a work list.
#include <cstddef>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dax_parser/dialect.hpp"
#include "dax_parser/lexer.hpp"
#include "display_width.hpp"
#include "fingerprint.hpp"
#include "format_entries.hpp"
#include "syntax/node_classes.hpp"
#include "syntax_boundary.hpp"

namespace dax::python::format {

namespace {

// An operator as spelling.py has it: binding powers and spelling.
struct Operator {
    Ref name;
    long lbp = 0;
    long rbp = 0;  // a prefix operator's operand's binding power
    std::string spelling;
};

// Set by register_operators; kept for the life of the process.
std::vector<Operator> binary_operators;
std::vector<Operator> unary_operators;

const Operator* find_operator(const std::vector<Operator>& table, PyObject* name) {
    for (const Operator& op : table)
        if (op.name.get() == name) return &op;  // the parser's names are interned, as the table's keys
    for (const Operator& op : table) {
        const int equal = PyObject_RichCompareBool(op.name.get(), name, Py_EQ);
        if (equal < 0) return nullptr;
        if (equal) return &op;
    }
    PyErr_Format(PyExc_ValueError, "no such operator: %R", name);
    return nullptr;
}

// The texts the printer writes between the parts: one_line.FlatStyle, the
// formatter's one-line table under its options, read once into this object.
struct Style {
    std::string call_open;   // after a function's name: " ( "
    std::string call_close;  // " )"
    std::string call_empty;  // " ()"
    std::string separator;   // ", "
    std::string separator_before_omitted;  // ","
    std::string paren_open;
    std::string paren_close;
    std::string table_open;
    std::string table_close;
    std::string table_empty;
    std::string row_open;
    std::string row_close;
    std::string before_operator;
    std::string after_operator;
    std::string grouping_open;  // the parentheses that the tree needs
    std::string grouping_close;
};

constexpr const char* style_capsule_name = "quarrow_dax._syntax.one_line_style";

// The Style an object of one_line_style() holds, or null with an exception set.
const Style* style_of(PyObject* object) {
    auto* style = static_cast<const Style*>(PyCapsule_GetPointer(object, style_capsule_name));
    if (style == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "the style must come from _syntax.one_line_style()");
    }
    return style;
}

void delete_style(PyObject* capsule) noexcept {
    delete static_cast<Style*>(PyCapsule_GetPointer(capsule, style_capsule_name));
}

bool utf8_of(PyObject* text, std::string_view& utf8) {
    if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "a node's text field must be a str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return false;
    utf8 = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool is_ascii_plain_name(std::string_view name) noexcept {
    // [A-Za-z_][A-Za-z0-9_.]*
    if (name.empty()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        if (!(letter || (i > 0 && ((c >= '0' && c <= '9') || c == '.')))) return false;
    }
    return true;
}

// spelling.is_plain_name: whether `name` can be written without quotes.
bool is_plain_name(std::string_view name) {
    bool ascii = true;
    for (const char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return is_ascii_plain_name(name);
    auto tokens = Lexer(name, default_dialect).lex_all();
    return tokens && tokens.value().size() == 2 && tokens.value()[0].kind == TokenKind::Ident &&
           tokens.value()[0].span.start == 0 && tokens.value()[0].span.end == name.size();
}

// A node to print, with the binding powers of its place, or (no node) a literal.
struct Task {
    PyObject* node;  // borrowed: the scratch's `held` or the tree holds it
    long min_bp;
    long follow;
    std::string_view literal;
};

// The printer's buffers, kept between calls: an atom is tried for nearly
// every node the formatter lays out.
struct Scratch {
    std::string out;
    std::vector<Task> tasks;
    std::vector<Ref> held;  // the fields read
    bool busy = false;
};

Scratch shared_scratch;  // used with the interpreter lock held

class FlatPrinter {
public:
    // `keep_breaks`: a text with a line break in it (a string, a quoted
    // name) is printed as it is rather than ending the print with None.
    FlatPrinter(const Style& style, Py_ssize_t limit, bool keep_breaks, PyObject* declared = nullptr)
        : style_(style), limit_(limit), keep_breaks_(keep_breaks),
          declared_(declared != nullptr && PyAnySet_Check(declared) ? declared : nullptr),
          scratch_(shared_scratch.busy ? own_scratch_ : shared_scratch),
          out_(scratch_.out), tasks_(scratch_.tasks), held_(scratch_.held) {
        scratch_.busy = true;
        out_.clear();
    }
    ~FlatPrinter() {
        tasks_.clear();
        held_.clear();
        scratch_.busy = false;
    }
    FlatPrinter(const FlatPrinter&) = delete;
    FlatPrinter& operator=(const FlatPrinter&) = delete;

    // The flat text of `root` (a new reference), None where there is none
    // or it is longer than the limit, or null with an exception set.
    PyObject* print(PyObject* root, long min_bp, long follow) {
        tasks_.push_back(Task{root, min_bp, follow, {}});
        while (!tasks_.empty()) {
            const Task task = tasks_.back();
            tasks_.pop_back();
            if (task.node == nullptr) {
                put(task.literal);
            } else {
                const Outcome outcome = node(task.node, task.min_bp, task.follow);
                if (outcome == Outcome::failed) return nullptr;
                if (outcome == Outcome::none) Py_RETURN_NONE;
            }
            if (limit_ >= 0 && chars_ > limit_) Py_RETURN_NONE;
        }
        return PyUnicode_DecodeUTF8(out_.data(), static_cast<Py_ssize_t>(out_.size()), "strict");
    }

private:
    enum class Outcome { done, none, failed };

    void literal(std::string_view text) { tasks_.push_back(Task{nullptr, 0, 0, text}); }
    void child(PyObject* node, long min_bp, long follow) { tasks_.push_back(Task{node, min_bp, follow, {}}); }

    void put(std::string_view text) {
        out_.append(text);
        chars_ += display_width(text);
    }

    // Puts `text` with `quote` doubled inside `open` ... `close`.
    void put_quoted(char open, std::string_view text, char close, char doubled) {
        out_.push_back(open);
        ++chars_;
        std::size_t run = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != doubled) continue;
            put(text.substr(run, i + 1 - run));
            out_.push_back(doubled);
            ++chars_;
            run = i + 1;
        }
        put(text.substr(run));
        out_.push_back(close);
        ++chars_;
    }

    // A field of `node`, held for the rest of the print.
    PyObject* field(PyObject* node, NodeKind kind, std::size_t index) {
        PyObject* value = node_field(node, kind, index);
        if (value != nullptr) held_.emplace_back(value);
        return value;
    }

    bool text_field(PyObject* node, NodeKind kind, std::size_t index, std::string_view& text) {
        PyObject* value = field(node, kind, index);
        return value != nullptr && utf8_of(value, text);
    }

    // A TableName's name and whether it was quoted.
    bool table_name(PyObject* table, std::string_view& name, bool& quoted) {
        if (kind_of_node(table) != NodeKind::TableName) {
            PyErr_SetString(PyExc_TypeError, "a reference's table must be a TableName");
            return false;
        }
        PyObject* flag = field(table, NodeKind::TableName, 1);
        if (flag == nullptr || !text_field(table, NodeKind::TableName, 0, name)) return false;
        const int truth = PyObject_IsTrue(flag);
        quoted = truth > 0;
        return truth >= 0;
    }

    bool tuple_field(PyObject* node, NodeKind kind, std::size_t index, PyObject*& tuple) {
        tuple = field(node, kind, index);
        if (tuple == nullptr) return false;
        if (!PyTuple_Check(tuple)) {
            PyErr_SetString(PyExc_TypeError, "a node's list field must be a tuple");
            return false;
        }
        return true;
    }

    // Pushes `items` separated by the list separator; the last separator
    // with nothing after it when the last item is an argument left out
    // (`omitted_last`), as `F ( a, )` has it. From the item
    // `first_keyword` on (the arguments of a built-in function; negative:
    // none), a bare name that is one of the keywords those take (`desc`,
    // `day`) in upper case, as the style's call handler has it.
    void list(PyObject* items, bool omitted_last, Py_ssize_t first_keyword = -1) {
        const Py_ssize_t count = PyTuple_Size(items);
        for (Py_ssize_t i = count; i-- > 0;) {
            PyObject* item = PyTuple_GetItem(items, i);
            const std::string* keyword = first_keyword >= 0 && i >= first_keyword ? keyword_of(item) : nullptr;
            if (keyword != nullptr) literal(*keyword);
            else child(item, 0, 0);
            if (i == 0) break;
            literal(omitted_last && i == count - 1 ? style_.separator_before_omitted : style_.separator);
        }
    }

    // The keyword a bare name spells in any case, or null (also for any
    // other node).
    const std::string* keyword_of(PyObject* item) {
        if (kind_of_node(item) != NodeKind::Identifier) return nullptr;
        std::string_view name;
        if (!text_field(item, NodeKind::Identifier, 0, name)) {
            PyErr_Clear();  // printing the node itself says what is wrong
            return nullptr;
        }
        const std::string* keyword = fingerprint::keyword_upper(name, formatter_names());
        if (keyword == nullptr || declared_ == nullptr) return keyword;
        Ref key(PyUnicode_FromStringAndSize(keyword->data(), static_cast<Py_ssize_t>(keyword->size())));
        const int found = key ? PySet_Contains(declared_, key.get()) : -1;
        if (found < 0) PyErr_Clear();
        return found == 0 ? keyword : nullptr;  // a declared name is a variable's or a table's
    }

    // The first operand of a chain of binary operators (`node` itself when it is none).
    PyObject* leftmost(PyObject* node) {
        while (node != nullptr && kind_of_node(node) == NodeKind::Binary) node = field(node, NodeKind::Binary, 1);
        return node;
    }

    // Whether `text` holds a line break that no line can hold.
    bool breaks_line(std::string_view text) const noexcept {
        return !keep_breaks_ && text.find('\n') != std::string_view::npos;
    }

    Outcome node(PyObject* node, long min_bp, long follow) {
        const std::optional<NodeKind> kind = kind_of_node(node);
        if (!kind) return Outcome::none;
        std::string_view text;
        switch (*kind) {
            case NodeKind::TableColumnRef: {
                std::string_view name;
                bool quoted = false;
                PyObject* table = field(node, *kind, 0);
                if (table == nullptr || !table_name(table, name, quoted) || !text_field(node, *kind, 1, text))
                    return Outcome::failed;
                if (breaks_line(name) || breaks_line(text)) return Outcome::none;
                // Quoted as it was read, or where a tree built in code needs it.
                if (quoted || !is_plain_name(name)) put_quoted('\'', name, '\'', '\'');
                else put(name);
                put_quoted('[', text, ']', ']');
                return Outcome::done;
            }
            case NodeKind::FunctionCall: {
                PyObject* args = nullptr;
                if (!text_field(node, *kind, 0, text) || !tuple_field(node, *kind, 1, args)) return Outcome::failed;
                const std::string upper = fingerprint::builtin_upper(text, builtin_names());
                put(upper.empty() ? text : std::string_view(upper));
                const Py_ssize_t count = PyTuple_Size(args);
                if (count == 0) {
                    put(style_.call_empty);
                    return Outcome::done;
                }
                put(style_.call_open);
                literal(style_.call_close);
                // Keywords never come first, but for RANK's ties: a function's
                // first argument is mostly its table.
                Py_ssize_t first_keyword = -1;
                if (fingerprint::is_builtin(text, builtin_names())) first_keyword = text == "RANK" || upper == "RANK" ? 0 : 1;
                list(args, count > 1 && kind_of_node(PyTuple_GetItem(args, count - 1)) == NodeKind::Omitted,
                     first_keyword);
                return Outcome::done;
            }
            case NodeKind::BracketRef:
                if (!text_field(node, *kind, 0, text)) return Outcome::failed;
                if (breaks_line(text)) return Outcome::none;
                put_quoted('[', text, ']', ']');
                return Outcome::done;
            case NodeKind::Number:
            case NodeKind::Identifier:
                if (!text_field(node, *kind, 0, text)) return Outcome::failed;
                put(text);
                return Outcome::done;
            case NodeKind::String:
                if (!text_field(node, *kind, 0, text)) return Outcome::failed;
                if (breaks_line(text)) return Outcome::none;
                put_quoted('"', text, '"', '"');
                return Outcome::done;
            case NodeKind::Binary: {
                PyObject* op_name = field(node, *kind, 0);
                const Operator* op = op_name == nullptr ? nullptr : find_operator(binary_operators, op_name);
                if (op == nullptr) return Outcome::failed;
                if (op->lbp < min_bp || follow >= op->rbp) {  // parentheses keep the tree
                    put(style_.grouping_open);
                    literal(style_.grouping_close);
                    child(node, 0, 0);
                    return Outcome::done;
                }
                PyObject* left = field(node, *kind, 1);
                PyObject* right = field(node, *kind, 2);
                if (left == nullptr || right == nullptr) return Outcome::failed;
                // A chain of operators that bind alike prints operand by
                // operand with the same powers as these nested nodes.
                child(right, op->rbp, follow);
                literal(style_.after_operator);
                literal(op->spelling);
                literal(style_.before_operator);
                child(left, 0, op->lbp);
                return Outcome::done;
            }
            case NodeKind::Unary: {
                PyObject* op_name = field(node, *kind, 0);
                const Operator* op = op_name == nullptr ? nullptr : find_operator(unary_operators, op_name);
                if (op == nullptr) return Outcome::failed;
                if (follow >= op->rbp) {
                    put(style_.grouping_open);
                    literal(style_.grouping_close);
                    child(node, 0, 0);
                    return Outcome::done;
                }
                PyObject* operand = field(node, *kind, 1);
                PyObject* first = leftmost(operand);
                if (first == nullptr) return Outcome::failed;
                bool minus_minus = false;
                if (op->spelling == "-" && kind_of_node(first) == NodeKind::Unary) {
                    PyObject* first_op = field(first, NodeKind::Unary, 0);
                    if (first_op == nullptr) return Outcome::failed;
                    const int equal = PyUnicode_CompareWithASCIIString(first_op, "Minus");
                    minus_minus = equal == 0;
                }
                put(minus_minus ? std::string_view("- ") : std::string_view(op->spelling));  // `--` would start a comment
                child(operand, op->rbp, follow);
                return Outcome::done;
            }
            case NodeKind::Paren: {
                PyObject* inner = field(node, *kind, 0);
                if (inner == nullptr) return Outcome::failed;
                put(style_.paren_open);
                literal(style_.paren_close);
                child(inner, 0, 0);
                return Outcome::done;
            }
            case NodeKind::TableConstructor: {
                PyObject* rows = nullptr;
                if (!tuple_field(node, *kind, 0, rows)) return Outcome::failed;
                const Py_ssize_t count = PyTuple_Size(rows);
                if (count == 0) {
                    put(style_.table_empty);
                    return Outcome::done;
                }
                put(style_.table_open);
                literal(style_.table_close);
                for (Py_ssize_t r = count; r-- > 0;) {
                    PyObject* cells = PyTuple_GetItem(rows, r);
                    if (!PyTuple_Check(cells)) {
                        PyErr_SetString(PyExc_TypeError, "a table constructor's row must be a tuple");
                        return Outcome::failed;
                    }
                    bool bare = false;
                    if (PyTuple_Size(cells) == 1) {
                        PyObject* first = leftmost(PyTuple_GetItem(cells, 0));
                        if (first == nullptr) return Outcome::failed;
                        bare = kind_of_node(first) != NodeKind::Paren;
                    }
                    if (bare) {
                        list(cells, false);
                    } else {
                        literal(style_.row_close);
                        list(cells, false);
                        literal(style_.row_open);
                    }
                    if (r != 0) literal(style_.separator);
                }
                return Outcome::done;
            }
            case NodeKind::RowConstructor: {
                PyObject* items = nullptr;
                if (!tuple_field(node, *kind, 0, items)) return Outcome::failed;
                put(style_.row_open);
                literal(style_.row_close);
                list(items, false);
                return Outcome::done;
            }
            case NodeKind::Boolean: {
                PyObject* value = field(node, *kind, 0);
                const int truth = value == nullptr ? -1 : PyObject_IsTrue(value);
                if (truth < 0) return Outcome::failed;
                put(truth ? std::string_view("TRUE") : std::string_view("FALSE"));
                return Outcome::done;
            }
            case NodeKind::Blank:
                put("BLANK");
                return Outcome::done;
            case NodeKind::Omitted:
                return Outcome::done;
            case NodeKind::Parameter:
                if (!text_field(node, *kind, 0, text)) return Outcome::failed;
                put("@");
                put(text);
                return Outcome::done;
            case NodeKind::TableRef: {
                std::string_view name;
                bool quoted = false;
                PyObject* table = field(node, *kind, 0);
                if (table == nullptr || !table_name(table, name, quoted)) return Outcome::failed;
                if (breaks_line(name)) return Outcome::none;
                put_quoted('\'', name, '\'', '\'');
                return Outcome::done;
            }
            case NodeKind::HierarchyRef: {
                std::string_view name;
                bool quoted = false;
                PyObject* table = field(node, *kind, 0);
                PyObject* levels = nullptr;
                if (table == nullptr || !table_name(table, name, quoted) || !text_field(node, *kind, 1, text) ||
                    !tuple_field(node, *kind, 2, levels))
                    return Outcome::failed;
                const std::size_t start = out_.size();
                if (quoted || !is_plain_name(name)) put_quoted('\'', name, '\'', '\'');
                else put(name);
                put_quoted('[', text, ']', ']');
                for (Py_ssize_t i = 0; i < PyTuple_Size(levels); ++i) {
                    std::string_view level;
                    if (!utf8_of(PyTuple_GetItem(levels, i), level)) return Outcome::failed;
                    put(".");
                    put_quoted('[', level, ']', ']');
                }
                if (breaks_line(std::string_view(out_).substr(start))) return Outcome::none;
                return Outcome::done;
            }
            case NodeKind::TypedLiteral: {
                std::string_view value;
                if (!text_field(node, *kind, 0, text) || !text_field(node, *kind, 1, value)) return Outcome::failed;
                if (breaks_line(text) || breaks_line(value)) return Outcome::none;
                put(text);
                put_quoted('"', value, '"', '"');
                return Outcome::done;
            }
            case NodeKind::Axis: {
                PyObject* words = nullptr;
                if (!tuple_field(node, *kind, 0, words)) return Outcome::failed;
                for (Py_ssize_t i = 0; i < PyTuple_Size(words); ++i) {
                    // As Python's str.upper() has it, beyond ASCII too.
                    Ref upper(PyObject_CallMethod(PyTuple_GetItem(words, i), "upper", nullptr));
                    std::string_view word;
                    if (!upper || !utf8_of(upper.get(), word)) return Outcome::failed;
                    if (i != 0) put(" ");
                    put(word);
                }
                return Outcome::done;
            }
            default:
                return Outcome::none;  // a VAR block, or no expression
        }
    }

    const Style& style_;
    const Py_ssize_t limit_;  // the longest text wanted, in columns; negative: any
    const bool keep_breaks_;
    PyObject* const declared_;  // the names the text declares, in upper case (a set), or null
    Scratch own_scratch_;     // when the shared one is in use (never, unless a field's method prints)
    Scratch& scratch_;
    std::string& out_;
    std::vector<Task>& tasks_;
    std::vector<Ref>& held_;
    Py_ssize_t chars_ = 0;
};

// Reads a {name: (lbp, rbp, spelling)} or {name: (power, spelling)} table.
bool read_operators(PyObject* table, bool binary, std::vector<Operator>& operators) {
    if (!PyDict_Check(table)) {
        PyErr_SetString(PyExc_TypeError, "an operator table must be a dict");
        return false;
    }
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(table, &position, &key, &value)) {
        Operator op;
        const char* spelling = nullptr;
        const bool ok = binary ? PyArg_ParseTuple(value, "lls", &op.lbp, &op.rbp, &spelling)
                               : PyArg_ParseTuple(value, "ls", &op.rbp, &spelling);
        if (!ok || !PyUnicode_Check(key)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an operator's name must be a str");
            return false;
        }
        Py_INCREF(key);
        op.name.reset(key);
        op.spelling = spelling;
        operators.push_back(std::move(op));
    }
    return true;
}

}  // namespace

PyObject* register_operators(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "register_operators() takes (binary, unary)");
            return nullptr;
        }
        std::vector<Operator> binary;
        std::vector<Operator> unary;
        if (!read_operators(args[0], true, binary) || !read_operators(args[1], false, unary)) return nullptr;
        binary_operators = std::move(binary);
        unary_operators = std::move(unary);
        Py_RETURN_NONE;
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

namespace {

// Reads the texts of a one_line.FlatStyle, as a dict, into `style`.
bool read_style(PyObject* texts, Style& style) {
    if (!PyDict_Check(texts)) {
        PyErr_SetString(PyExc_TypeError, "one_line_style() takes a dict of the style's texts");
        return false;
    }
    const std::pair<const char*, std::string*> fields[] = {
        {"call_open", &style.call_open},
        {"call_close", &style.call_close},
        {"call_empty", &style.call_empty},
        {"separator", &style.separator},
        {"separator_before_omitted", &style.separator_before_omitted},
        {"paren_open", &style.paren_open},
        {"paren_close", &style.paren_close},
        {"table_open", &style.table_open},
        {"table_close", &style.table_close},
        {"table_empty", &style.table_empty},
        {"row_open", &style.row_open},
        {"row_close", &style.row_close},
        {"before_operator", &style.before_operator},
        {"after_operator", &style.after_operator},
        {"grouping_open", &style.grouping_open},
        {"grouping_close", &style.grouping_close},
    };
    if (PyDict_Size(texts) != static_cast<Py_ssize_t>(std::size(fields))) {
        PyErr_Format(PyExc_ValueError, "the style has %zd texts, not %zd", static_cast<Py_ssize_t>(std::size(fields)),
                     PyDict_Size(texts));
        return false;
    }
    for (const auto& [name, text] : fields) {
        PyObject* value = PyDict_GetItemString(texts, name);
        if (value == nullptr) {
            PyErr_Format(PyExc_KeyError, "the style has no %s", name);
            return false;
        }
        if (!PyUnicode_Check(value)) {
            PyErr_Format(PyExc_TypeError, "the style's %s must be a str", name);
            return false;
        }
        std::string_view utf8;
        if (!utf8_of(value, utf8)) return false;
        if (utf8.find('\n') != std::string_view::npos) {
            PyErr_Format(PyExc_ValueError, "the style's %s must stand on one line", name);
            return false;
        }
        text->assign(utf8);
    }
    return true;
}

}  // namespace

PyObject* one_line_style(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 1) {
            PyErr_SetString(PyExc_TypeError, "one_line_style() takes (texts)");
            return nullptr;
        }
        auto style = std::make_unique<Style>();
        if (!read_style(args[0], *style)) return nullptr;
        PyObject* capsule = PyCapsule_New(style.get(), style_capsule_name, delete_style);
        if (capsule != nullptr) style.release();  // the capsule owns it now
        return capsule;
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* flat_text(PyObject* node, long min_bp, long follow, Py_ssize_t limit, PyObject* style_object,
                    PyObject* declared) {
    const Style* style = style_of(style_object);
    if (style == nullptr) return nullptr;
    FlatPrinter printer(*style, limit, false, declared);
    return printer.print(node, min_bp, follow);
}

PyObject* flat(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 5 && nargs != 6) {
            PyErr_SetString(PyExc_TypeError, "flat() takes (node, min_bp, follow, limit, style[, declared])");
            return nullptr;
        }
        const long min_bp = PyLong_AsLong(args[1]);
        const long follow = PyLong_AsLong(args[2]);
        const Py_ssize_t limit = PyLong_AsSsize_t(args[3]);
        if (PyErr_Occurred()) return nullptr;
        return flat_text(args[0], min_bp, follow, limit, args[4], nargs == 6 ? args[5] : nullptr);
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* leaf_text(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "leaf_text() takes (node, style)");
            return nullptr;
        }
        const Style* style = style_of(args[1]);
        if (style == nullptr) return nullptr;
        FlatPrinter printer(*style, -1, true);
        Ref text(printer.print(args[0], 0, 0));
        if (text && text.get() == Py_None) {  // a VAR block, or no expression
            PyErr_Format(PyExc_TypeError, "leaf_text() takes a leaf, not %R", Py_TYPE(args[0]));
            return nullptr;
        }
        return text.release();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace dax::python::format
