// The expression tree: structure and spelling, and where each node stands.
// Every node owns its children exclusively; text is copied out of the tokens.
// Spans are for tools that point into the source; the JSON of a tree never
// carries them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "dax_parser/token.hpp"

namespace dax {

enum class UnaryOp : std::uint8_t { Plus, Minus, Not };

enum class BinaryOp : std::uint8_t {
    Or,
    And,
    Eq,
    StrictEq,
    Neq,
    Lt,
    Lte,
    Gt,
    Gte,
    In,
    Concat,
    Add,
    Sub,
    Mul,
    Div,
    Pow,
};

// The operator's name as the trees' JSON spells it ("Minus", "StrictEq", ...).
std::string_view unary_op_name(UnaryOp op) noexcept;
std::string_view binary_op_name(BinaryOp op) noexcept;

struct TableName {
    std::string name;
    bool quoted = false;
    Span span;  // the name's one token
};

struct Expr;
struct VarDecl;
using ExprBox = std::unique_ptr<Expr>;

// One struct per variant of Expr, named as the variant.
namespace node {

struct Number {
    std::string text;
};
struct String {
    std::string text;
};
struct Boolean {
    bool value = false;
};
struct Blank {};
struct Parameter {
    std::string name;
};
struct Identifier {
    std::string name;
};
struct TableRef {
    TableName table;
};
struct BracketRef {
    std::string name;
};
struct TableColumnRef {
    TableName table;
    std::string column;
};
struct HierarchyRef {
    TableName table;
    std::string column;
    std::vector<std::string> levels;  // never empty
};
struct FunctionCall {
    std::string name;
    std::vector<Expr> args;
};
struct Unary {
    UnaryOp op = UnaryOp::Plus;
    ExprBox expr;
};
struct Binary {
    BinaryOp op = BinaryOp::Add;
    ExprBox left;
    ExprBox right;
};
struct VarBlock {
    std::vector<VarDecl> decls;  // never empty
    ExprBox body;
};
struct TableConstructor {
    std::vector<std::vector<Expr>> rows;  // no row is empty
};
struct Paren {
    ExprBox expr;
};
// The forms below come only from the engine grammar.
// An argument left out between separators: `INDEX(1, , -1)`. Its span is
// empty, just after the token before it.
struct Omitted {};
// `dt"2024-01-31"`: the prefix as written and the string's content.
struct TypedLiteral {
    std::string prefix;
    std::string value;
};
// `( a, b )` before IN: the values of one row.
struct RowConstructor {
    std::vector<Expr> items;
};
// The axes of a visual calculation written as two words, `ROWS COLUMNS`.
struct Axis {
    std::vector<std::string> words;
};

}  // namespace node

// A node payload kept in an allocation of its own. Every Expr is as large as
// its largest inline payload, so the few payloads larger than one text (a
// table and a column, a call's name and arguments) are boxed: every number,
// operator and list slot of a tree then takes 40 bytes rather than 104.
template <class T>
class Boxed {
public:
    explicit Boxed(T value) : p_(std::make_unique<T>(std::move(value))) {}
    T& operator*() noexcept { return *p_; }
    const T& operator*() const noexcept { return *p_; }
    T* operator->() noexcept { return p_.get(); }
    const T* operator->() const noexcept { return p_.get(); }

private:
    std::unique_ptr<T> p_;
};

template <class T>
inline constexpr bool is_boxed_node = std::is_same_v<T, node::TableRef> || std::is_same_v<T, node::TableColumnRef> ||
                                      std::is_same_v<T, node::HierarchyRef> || std::is_same_v<T, node::FunctionCall> ||
                                      std::is_same_v<T, node::TypedLiteral>;

// How a payload is held in the variant: boxed or inline.
template <class T>
using Held = std::conditional_t<is_boxed_node<T>, Boxed<T>, T>;

// The variants in declaration order; the index is the variant's tag.
using ExprVariant =
    std::variant<node::Number, node::String, node::Boolean, node::Blank, node::Parameter, node::Identifier,
                 Held<node::TableRef>, node::BracketRef, Held<node::TableColumnRef>, Held<node::HierarchyRef>,
                 Held<node::FunctionCall>, node::Unary, node::Binary, node::VarBlock, node::TableConstructor,
                 node::Paren, node::Omitted, Held<node::TypedLiteral>, node::RowConstructor, node::Axis>;

struct Expr {
    ExprVariant v;
    // From the start of the node's first token to the end of its last: a
    // Paren includes its parentheses, a call runs from its name to its `)`.
    Span span;

    Expr() = default;
    template <class Node>
        requires(!std::is_same_v<std::remove_cvref_t<Node>, Expr>)
    Expr(Node&& n) : v(Held<std::remove_cvref_t<Node>>(std::forward<Node>(n))) {}

    Expr(Expr&&) noexcept = default;
    Expr& operator=(Expr&&) noexcept = default;
    Expr(const Expr&) = delete;
    Expr& operator=(const Expr&) = delete;

    // Dismantles the tree with a work list: a chain of a million operators
    // is as deep as it is long, and must not be destroyed by recursion.
    ~Expr();

    // The payload when this is a `Node`, else null.
    template <class Node>
    const Node* as() const noexcept {
        const auto* held = std::get_if<Held<Node>>(&v);
        if constexpr (is_boxed_node<Node>) return held ? &**held : nullptr;
        else return held;
    }
    template <class Node>
    Node* as() noexcept {
        auto* held = std::get_if<Held<Node>>(&v);
        if constexpr (is_boxed_node<Node>) return held ? &**held : nullptr;
        else return held;
    }
};

struct VarDecl {
    std::string name;
    Expr expr;
    Span span;  // from `VAR` to the end of the value
};

// Allocates an owned child node.
inline ExprBox box(Expr e) { return std::make_unique<Expr>(std::move(e)); }

// Calls `visit(child)` for each direct child expression of `e`, in source
// order: operands, arguments, table cells row by row, VAR values then the
// body. Does not descend; callers that walk whole trees keep their own work
// list, since a tree can be as deep as an operator chain is long.
template <class Visit>
void for_each_child(const Expr& e, Visit&& visit) {
    if (const auto* call = e.as<node::FunctionCall>()) {
        for (const Expr& arg : call->args) visit(arg);
    } else if (const auto* unary = e.as<node::Unary>()) {
        visit(*unary->expr);
    } else if (const auto* binary = e.as<node::Binary>()) {
        visit(*binary->left);
        visit(*binary->right);
    } else if (const auto* block = e.as<node::VarBlock>()) {
        for (const VarDecl& decl : block->decls) visit(decl.expr);
        visit(*block->body);
    } else if (const auto* table = e.as<node::TableConstructor>()) {
        for (const auto& row : table->rows)
            for (const Expr& cell : row) visit(cell);
    } else if (const auto* paren = e.as<node::Paren>()) {
        visit(*paren->expr);
    } else if (const auto* row = e.as<node::RowConstructor>()) {
        for (const Expr& item : row->items) visit(item);
    }
}

}  // namespace dax
