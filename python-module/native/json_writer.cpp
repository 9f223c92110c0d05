// Compact JSON writers. One 256-entry table decides how each byte of text is
// written; expression trees are walked with an explicit work list because a
// chain of left-associative operators is as deep as it is long.
#include "json_writer.hpp"

#include <array>
#include <charconv>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "dax_parser/large_pages.hpp"

namespace dax::json {

// ---------------------------------------------------------------- buffer

Buffer::Buffer() {
    data_ = static_cast<char*>(std::malloc(initial_capacity));
    if (!data_) throw std::bad_alloc();
    capacity_ = initial_capacity;
}

Buffer::~Buffer() {
    if (mapped_) detail::free_large_block(data_, capacity_);
    else std::free(data_);
}

void Buffer::grow(std::size_t needed_extra) {
    const std::size_t needed = size_ + needed_extra;
    if (needed < size_) throw std::bad_alloc();  // overflow
    std::size_t new_capacity = capacity_ * 2 > needed ? capacity_ * 2 : needed;
    if (new_capacity >= detail::large_block_threshold) {
        new_capacity = detail::large_block_size(new_capacity);
        char* grown = nullptr;
        if (mapped_) {
            grown = static_cast<char*>(detail::grow_large_block(data_, capacity_, new_capacity));
        } else {
            grown = static_cast<char*>(detail::allocate_large_block(new_capacity));
            __builtin_memcpy(grown, data_, size_);
            std::free(data_);
        }
        data_ = grown;
        capacity_ = new_capacity;
        mapped_ = true;
        return;
    }
    char* grown = static_cast<char*>(std::realloc(data_, new_capacity));
    if (!grown) throw std::bad_alloc();
    data_ = grown;
    capacity_ = new_capacity;
}

// ---------------------------------------------------------------- scalars

namespace {

// 0: copy the byte as it is; otherwise the letter written after a backslash
// ('u' selects the six-character \u00XX form).
constexpr std::array<char, 256> escape_table = [] {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 'u';
    t['\b'] = 'b';
    t['\t'] = 't';
    t['\n'] = 'n';
    t['\f'] = 'f';
    t['\r'] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}();

}  // namespace

void write_string(Buffer& out, std::string_view text) {
    static constexpr char hex_digits[] = "0123456789abcdef";
    out.reserve_more(text.size() + 2);
    out.push('"');
    const char* run_start = text.data();
    const char* p = run_start;
    const char* const end = p + text.size();
    for (; p != end; ++p) {
        const char letter = escape_table[static_cast<unsigned char>(*p)];
        if (letter == 0) continue;
        out.append(run_start, static_cast<std::size_t>(p - run_start));
        if (letter == 'u') {
            const auto byte = static_cast<unsigned char>(*p);
            const char escaped[6] = {'\\', 'u', '0', '0', hex_digits[byte >> 4], hex_digits[byte & 0xF]};
            out.append(escaped, sizeof escaped);
        } else {
            const char escaped[2] = {'\\', letter};
            out.append(escaped, sizeof escaped);
        }
        run_start = p + 1;
    }
    out.append(run_start, static_cast<std::size_t>(end - run_start));
    out.push('"');
}

void write_unsigned(Buffer& out, std::size_t value) {
    char digits[20];  // the longest 64-bit value
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

namespace {

void write_bool(Buffer& out, bool value) { out.append(value ? std::string_view("true") : std::string_view("false")); }

// A token's text up to its payload (`{"kind":{"Ident":`) or, for kinds
// without one, up to its start offset (`{"kind":"LParen","span":{"start":`),
// so that each token takes few appends.
constexpr std::array<std::string_view, token_kind_count> token_heads = {
#define DAX_TOKEN_HEAD(name, spelling) \
    has_payload(TokenKind::name) ? "{\"kind\":{\"" #name "\":" : "{\"kind\":\"" #name "\",\"span\":{\"start\":",
    DAX_TOKEN_KINDS(DAX_TOKEN_HEAD)
#undef DAX_TOKEN_HEAD
};


void write_table_name(Buffer& out, const TableName& table) {
    out.append("{\"name\":");
    write_string(out, table.name);
    out.append(",\"quoted\":");
    write_bool(out, table.quoted);
    out.push('}');
}

}  // namespace

void write_tokens(Buffer& out, const TokenVector& tokens, std::string_view input) {
    out.push('[');
    bool first = true;
    for (const Token& token : tokens) {
        if (!first) out.push(',');
        first = false;
        out.append(token_heads[static_cast<std::size_t>(token.kind)]);
        if (has_payload(token.kind)) {
            if (token.has_doubled_delimiter) write_string(out, token.payload(input));
            else write_string(out, token.text(input));
            out.append("},\"span\":{\"start\":");
        }
        write_unsigned(out, token.span.start);
        out.append(",\"end\":");
        write_unsigned(out, token.span.end);
        out.append("}}");
    }
    out.push(']');
}

// ---------------------------------------------------------------- expressions

namespace {

// One pending piece of output. Vectors are walked one element per task so
// that a table of a million rows costs one task, not a million.
struct Task {
    enum class Kind : std::uint8_t {
        Expr,          // write the expression at `ptr`
        Literal,       // write literals[index]
        BinaryRight,   // `,"right":` then the right operand of the Binary at `ptr`
        Args,          // argument `index` onward of the FunctionCall at `ptr`
        Decls,         // declaration `index` onward of the VarBlock at `ptr`
        Rows,          // row `index` onward of the TableConstructor at `ptr`
        Cells,         // cell `index` onward of the row (vector of Expr) at `ptr`
    };
    Kind kind;
    std::size_t index;
    const void* ptr;
};

enum LiteralId : std::size_t { close_one, close_two };
constexpr std::array<std::string_view, 2> literals = {"}", "}}"};

template <class T>
const T& unboxed(const T& payload) {
    return payload;
}
template <class T>
const T& unboxed(const Boxed<T>& payload) {
    return *payload;
}

class ExprWriter {
public:
    explicit ExprWriter(Buffer& out) : out_(out) {}

    void write(const Expr& root) {
        push(Task::Kind::Expr, 0, &root);
        while (!tasks_.empty()) {
            const Task task = tasks_.back();
            tasks_.pop_back();
            run(task);
        }
    }

private:
    void push(Task::Kind kind, std::size_t index, const void* ptr) { tasks_.push_back(Task{kind, index, ptr}); }
    void push_literal(LiteralId id) { push(Task::Kind::Literal, id, nullptr); }

    void run(const Task& task) {
        switch (task.kind) {
            case Task::Kind::Expr:
                write_node(*static_cast<const Expr*>(task.ptr));
                break;
            case Task::Kind::Literal:
                out_.append(literals[task.index]);
                break;
            case Task::Kind::BinaryRight: {
                const auto& binary = *static_cast<const node::Binary*>(task.ptr);
                out_.append(",\"right\":");
                if (is_leaf(*binary.right)) {
                    write_non_binary(*binary.right);
                    out_.append("}}");
                    break;
                }
                push_literal(close_two);
                push(Task::Kind::Expr, 0, binary.right.get());
                break;
            }
            case Task::Kind::Args: {
                const auto& args = static_cast<const node::FunctionCall*>(task.ptr)->args;
                next_element(task, args.size(), "]}}", [&](std::size_t i) { return &args[i]; });
                break;
            }
            case Task::Kind::Cells: {
                const auto& cells = *static_cast<const std::vector<Expr>*>(task.ptr);
                next_element(task, cells.size(), "]", [&](std::size_t i) { return &cells[i]; });
                break;
            }
            case Task::Kind::Rows: {
                const auto& rows = static_cast<const node::TableConstructor*>(task.ptr)->rows;
                if (task.index == rows.size()) {
                    out_.append("]}");
                    break;
                }
                out_.append(task.index == 0 ? std::string_view("[") : std::string_view(",["));
                push(Task::Kind::Rows, task.index + 1, task.ptr);
                push(Task::Kind::Cells, 0, &rows[task.index]);
                break;
            }
            case Task::Kind::Decls: {
                const auto& block = *static_cast<const node::VarBlock*>(task.ptr);
                if (task.index == block.decls.size()) {
                    out_.append("],\"body\":");
                    push_literal(close_two);
                    push(Task::Kind::Expr, 0, block.body.get());
                    break;
                }
                const VarDecl& decl = block.decls[task.index];
                out_.append(task.index == 0 ? std::string_view("{\"name\":") : std::string_view(",{\"name\":"));
                write_string(out_, decl.name);
                out_.append(",\"expr\":");
                push(Task::Kind::Decls, task.index + 1, task.ptr);
                push_literal(close_one);
                push(Task::Kind::Expr, 0, &decl.expr);
                break;
            }
        }
    }

    // Writes the separator and element `task.index` of a vector, or its
    // closing text once every element has been written.
    template <class ElementAt>
    // Leaves (literals and references) are written on the spot; only an
    // element with children of its own leaves the rest of the vector as a task.
    void next_element(const Task& task, std::size_t size, std::string_view closing, ElementAt element_at) {
        for (std::size_t i = task.index; i < size; ++i) {
            if (i != 0) out_.push(',');
            const Expr& element = *element_at(i);
            if (is_leaf(element)) {
                write_non_binary(element);
                continue;
            }
            push(task.kind, i + 1, task.ptr);
            push(Task::Kind::Expr, 0, &element);
            return;
        }
        out_.append(closing);
    }

    static bool is_leaf(const Expr& e) noexcept {
        constexpr std::size_t last_leaf = 9;  // HierarchyRef: the variants before it hold no Expr
        static_assert(std::is_same_v<std::variant_alternative_t<last_leaf, ExprVariant>, Held<node::HierarchyRef>>);
        return e.v.index() <= last_leaf;
    }

    void write_text_variant(std::string_view open, const std::string& text) {
        out_.append(open);
        write_string(out_, text);
        out_.push('}');
    }

    // Writes the node's own text; children are left as tasks. The left spine
    // of a Binary chain is followed in this loop rather than through tasks.
    void write_node(const Expr& root) {
        const Expr* e = &root;
        for (;;) {
            if (const auto* binary = e->as<node::Binary>()) {
                out_.append("{\"Binary\":{\"op\":\"");
                out_.append(binary_op_name(binary->op));
                out_.append("\",\"left\":");
                push(Task::Kind::BinaryRight, 0, binary);
                e = binary->left.get();
                continue;
            }
            write_non_binary(*e);
            return;
        }
    }

    void write_non_binary(const Expr& e) {
        std::visit(
            [this](const auto& held) {
                const auto& n = unboxed(held);
                using N = std::decay_t<decltype(n)>;
                if constexpr (std::is_same_v<N, node::Number>) {
                    write_text_variant("{\"Number\":", n.text);
                } else if constexpr (std::is_same_v<N, node::String>) {
                    write_text_variant("{\"String\":", n.text);
                } else if constexpr (std::is_same_v<N, node::Boolean>) {
                    out_.append(n.value ? std::string_view("{\"Boolean\":true}")
                                        : std::string_view("{\"Boolean\":false}"));
                } else if constexpr (std::is_same_v<N, node::Blank>) {
                    out_.append("\"Blank\"");
                } else if constexpr (std::is_same_v<N, node::Parameter>) {
                    write_text_variant("{\"Parameter\":", n.name);
                } else if constexpr (std::is_same_v<N, node::Identifier>) {
                    write_text_variant("{\"Identifier\":", n.name);
                } else if constexpr (std::is_same_v<N, node::TableRef>) {
                    out_.append("{\"TableRef\":");
                    write_table_name(out_, n.table);
                    out_.push('}');
                } else if constexpr (std::is_same_v<N, node::BracketRef>) {
                    write_text_variant("{\"BracketRef\":", n.name);
                } else if constexpr (std::is_same_v<N, node::TableColumnRef>) {
                    out_.append("{\"TableColumnRef\":{\"table\":");
                    write_table_name(out_, n.table);
                    out_.append(",\"column\":");
                    write_string(out_, n.column);
                    out_.append("}}");
                } else if constexpr (std::is_same_v<N, node::HierarchyRef>) {
                    out_.append("{\"HierarchyRef\":{\"table\":");
                    write_table_name(out_, n.table);
                    out_.append(",\"column\":");
                    write_string(out_, n.column);
                    out_.append(",\"levels\":[");
                    for (std::size_t i = 0; i < n.levels.size(); ++i) {
                        if (i != 0) out_.push(',');
                        write_string(out_, n.levels[i]);
                    }
                    out_.append("]}}");
                } else if constexpr (std::is_same_v<N, node::FunctionCall>) {
                    out_.append("{\"FunctionCall\":{\"name\":");
                    write_string(out_, n.name);
                    out_.append(",\"args\":[");
                    push(Task::Kind::Args, 0, &n);
                } else if constexpr (std::is_same_v<N, node::Unary>) {
                    out_.append("{\"Unary\":{\"op\":\"");
                    out_.append(unary_op_name(n.op));
                    out_.append("\",\"expr\":");
                    push_literal(close_two);
                    push(Task::Kind::Expr, 0, n.expr.get());
                } else if constexpr (std::is_same_v<N, node::VarBlock>) {
                    out_.append("{\"VarBlock\":{\"decls\":[");
                    push(Task::Kind::Decls, 0, &n);
                } else if constexpr (std::is_same_v<N, node::TableConstructor>) {
                    out_.append("{\"TableConstructor\":[");
                    push(Task::Kind::Rows, 0, &n);
                } else if constexpr (std::is_same_v<N, node::Paren>) {
                    out_.append("{\"Paren\":");
                    push_literal(close_one);
                    push(Task::Kind::Expr, 0, n.expr.get());
                } else if constexpr (std::is_same_v<N, node::Omitted>) {
                    out_.append("\"Omitted\"");
                } else if constexpr (std::is_same_v<N, node::TypedLiteral>) {
                    out_.append("{\"TypedLiteral\":{\"prefix\":");
                    write_string(out_, n.prefix);
                    out_.append(",\"value\":");
                    write_string(out_, n.value);
                    out_.append("}}");
                } else if constexpr (std::is_same_v<N, node::RowConstructor>) {
                    out_.append("{\"RowConstructor\":[");
                    push_literal(close_one);
                    push(Task::Kind::Cells, 0, &n.items);
                } else if constexpr (std::is_same_v<N, node::Axis>) {
                    out_.append("{\"Axis\":[");
                    for (std::size_t i = 0; i < n.words.size(); ++i) {
                        if (i != 0) out_.push(',');
                        write_string(out_, n.words[i]);
                    }
                    out_.append("]}");
                } else {
                    static_assert(std::is_same_v<N, node::Binary>, "every variant is written");
                }
            },
            e.v);
    }

    Buffer& out_;
    std::vector<Task> tasks_;
};

}  // namespace

void write_expr(Buffer& out, const Expr& expr) { ExprWriter(out).write(expr); }

// ---------------------------------------------------------------- queries

namespace {

class QueryWriter {
public:
    explicit QueryWriter(Buffer& out) : out_(out), exprs_(out) {}

    void write(const Query& query) {
        out_.append("{\"define\":");
        if (query.define) {
            out_.append("{\"defs\":[");
            bool first = true;
            for (const Definition& def : query.define->defs) {
                if (!first) out_.push(',');
                first = false;
                std::visit([this](const auto& d) { write_definition(d); }, def);
            }
            out_.append("]}");
        } else {
            out_.append("null");
        }
        out_.append(",\"evaluates\":[");
        bool first = true;
        for (const EvaluateStmt& stmt : query.evaluates) {
            if (!first) out_.push(',');
            first = false;
            write_statement(stmt);
        }
        out_.append("]}");
    }

private:
    void write_doc(const std::optional<std::string>& doc) {
        out_.append("{\"doc\":");
        if (doc) write_string(out_, *doc);
        else out_.append("null");
    }

    void write_optional_table(const std::optional<TableName>& table) {
        out_.append(",\"table\":");
        if (table) write_table_name(out_, *table);
        else out_.append("null");
    }

    void write_name_and_expr(const std::string& name, const Expr& expr) {
        out_.append(",\"name\":");
        write_string(out_, name);
        out_.append(",\"expr\":");
        exprs_.write(expr);
        out_.append("}}");
    }

    void write_definition(const definition::Measure& d) {
        out_.append("{\"Measure\":");
        write_doc(d.doc);
        write_optional_table(d.table);
        write_name_and_expr(d.name, d.expr);
    }
    void write_definition(const definition::Var& d) {
        out_.append("{\"Var\":");
        write_doc(d.doc);
        write_name_and_expr(d.name, d.expr);
    }
    void write_definition(const definition::Table& d) {
        out_.append("{\"Table\":");
        write_doc(d.doc);
        write_name_and_expr(d.name, d.expr);
    }
    void write_definition(const definition::Column& d) {
        out_.append("{\"Column\":");
        write_doc(d.doc);
        write_optional_table(d.table);
        write_name_and_expr(d.name, d.expr);
    }
    // The engine grammar's alone: the exact module never meets one.
    void write_definition(const definition::MParameter& d) {
        out_.append("{\"MParameter\":");
        write_doc(d.doc);
        write_name_and_expr(d.name, d.expr);
    }
    void write_definition(const definition::Function& d) {
        out_.append("{\"Function\":");
        write_doc(d.doc);
        out_.append(",\"name\":");
        write_string(out_, d.name);
        out_.append(",\"params\":[");
        for (std::size_t i = 0; i < d.params.size(); ++i) {
            if (i != 0) out_.push(',');
            out_.append("{\"name\":");
            write_string(out_, d.params[i].name);
            out_.append(",\"type_hints\":[");
            const auto& hints = d.params[i].type_hints;
            for (std::size_t j = 0; j < hints.size(); ++j) {
                if (j != 0) out_.push(',');
                write_string(out_, hints[j]);
            }
            out_.append("]}");
        }
        out_.append("],\"body\":");
        exprs_.write(d.body);
        out_.append("}}");
    }

    void write_statement(const EvaluateStmt& stmt) {
        out_.append("{\"expr\":");
        exprs_.write(stmt.expr);
        out_.append(",\"order_by\":[");
        for (std::size_t i = 0; i < stmt.order_by.size(); ++i) {
            if (i != 0) out_.push(',');
            out_.append("{\"expr\":");
            exprs_.write(stmt.order_by[i].expr);
            out_.append(stmt.order_by[i].direction == SortDirection::Desc ? std::string_view(",\"direction\":\"Desc\"}")
                                                                          : std::string_view(",\"direction\":\"Asc\"}"));
        }
        out_.append("],\"start_at\":");
        if (stmt.start_at) {
            out_.push('[');
            for (std::size_t i = 0; i < stmt.start_at->size(); ++i) {
                if (i != 0) out_.push(',');
                exprs_.write((*stmt.start_at)[i]);
            }
            out_.push(']');
        } else {
            out_.append("null");
        }
        out_.push('}');
    }

    Buffer& out_;
    ExprWriter exprs_;
};

}  // namespace

void write_query(Buffer& out, const Query& query) { QueryWriter(out).write(query); }

}  // namespace dax::json
