// Destruction of expression trees without recursion on the operator chains,
// and the names of the operators.
#include "dax_parser/expr.hpp"

#include <array>

namespace dax {

namespace {
constexpr std::array<std::string_view, 3> unary_op_names = {"Plus", "Minus", "Not"};
constexpr std::array<std::string_view, 16> binary_op_names = {
    "Or", "And", "Eq", "StrictEq", "Neq", "Lt", "Lte", "Gt", "Gte", "In", "Concat", "Add", "Sub", "Mul", "Div", "Pow"};
}  // namespace

std::string_view unary_op_name(UnaryOp op) noexcept { return unary_op_names[static_cast<std::size_t>(op)]; }
std::string_view binary_op_name(BinaryOp op) noexcept { return binary_op_names[static_cast<std::size_t>(op)]; }

// Every child except the left operand of a Binary was parsed one nesting
// level deeper than its parent, so ordinary recursion over those children is
// bounded by the parser's nesting limit. The left operands are not: a chain
// of a million `+` is a million Binary nodes, each the left operand of the
// next. That spine is taken apart here in a loop, one node at a time, each
// node released after its left operand has been taken out of it.
Expr::~Expr() {
    auto* binary = std::get_if<node::Binary>(&v);
    if (binary == nullptr) return;
    ExprBox next = std::move(binary->left);
    while (next) {
        auto* next_binary = std::get_if<node::Binary>(&next->v);
        if (next_binary == nullptr) break;
        ExprBox after = std::move(next_binary->left);
        next = std::move(after);  // releases the old node, whose left is now empty
    }
}

}  // namespace dax
