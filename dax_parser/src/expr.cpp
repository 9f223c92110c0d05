// Destruction of expression trees without recursion on the operator chains.
#include "dax_parser/expr.hpp"

namespace dax {

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
