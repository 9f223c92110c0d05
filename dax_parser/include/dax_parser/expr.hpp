// The expression tree: structure and spelling only, no positions or types.
// Every node owns its children exclusively; text is copied out of the tokens.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

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

struct TableName {
    std::string name;
    bool quoted = false;
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

}  // namespace node

// The variants in declaration order; the index is the variant's tag.
using ExprVariant = std::variant<node::Number, node::String, node::Boolean, node::Blank, node::Parameter,
                                 node::Identifier, node::TableRef, node::BracketRef, node::TableColumnRef,
                                 node::HierarchyRef, node::FunctionCall, node::Unary, node::Binary,
                                 node::VarBlock, node::TableConstructor, node::Paren>;

struct Expr {
    ExprVariant v;

    Expr() = default;
    template <class Node>
        requires(!std::is_same_v<std::remove_cvref_t<Node>, Expr>)
    Expr(Node&& n) : v(std::forward<Node>(n)) {}

    Expr(Expr&&) noexcept = default;
    Expr& operator=(Expr&&) noexcept = default;
    Expr(const Expr&) = delete;
    Expr& operator=(const Expr&) = delete;

    // Dismantles the tree with a work list: a chain of a million operators
    // is as deep as it is long, and must not be destroyed by recursion.
    ~Expr();

    template <class Node>
    const Node* as() const noexcept {
        return std::get_if<Node>(&v);
    }
};

struct VarDecl {
    std::string name;
    Expr expr;
};

// Allocates an owned child node.
inline ExprBox box(Expr e) { return std::make_unique<Expr>(std::move(e)); }

}  // namespace dax
