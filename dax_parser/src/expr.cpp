// Destruction of expression trees without recursion on their depth.
#include "dax_parser/expr.hpp"

#include <type_traits>

namespace dax {

namespace {

bool has_children(const Expr& e) noexcept {
    return std::visit(
        [](const auto& n) noexcept -> bool {
            using N = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<N, node::FunctionCall>) return !n.args.empty();
            else if constexpr (std::is_same_v<N, node::Unary> || std::is_same_v<N, node::Paren>) return n.expr != nullptr;
            else if constexpr (std::is_same_v<N, node::Binary>) return n.left || n.right;
            else if constexpr (std::is_same_v<N, node::VarBlock>) return !n.decls.empty() || n.body;
            else if constexpr (std::is_same_v<N, node::TableConstructor>) return !n.rows.empty();
            else return false;
        },
        e.v);
}

void take_box(ExprBox& child, std::vector<Expr>& work) {
    if (!child) return;
    work.push_back(std::move(*child));
    child.reset();
}

// Moves every child of `e` onto the work list, leaving `e` childless.
void take_children(Expr& e, std::vector<Expr>& work) {
    std::visit(
        [&work](auto& n) {
            using N = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<N, node::FunctionCall>) {
                for (auto& arg : n.args) work.push_back(std::move(arg));
                n.args.clear();
            } else if constexpr (std::is_same_v<N, node::Unary> || std::is_same_v<N, node::Paren>) {
                take_box(n.expr, work);
            } else if constexpr (std::is_same_v<N, node::Binary>) {
                take_box(n.left, work);
                take_box(n.right, work);
            } else if constexpr (std::is_same_v<N, node::VarBlock>) {
                for (auto& decl : n.decls) work.push_back(std::move(decl.expr));
                n.decls.clear();
                take_box(n.body, work);
            } else if constexpr (std::is_same_v<N, node::TableConstructor>) {
                for (auto& row : n.rows)
                    for (auto& cell : row) work.push_back(std::move(cell));
                n.rows.clear();
            }
        },
        e.v);
}

}  // namespace

Expr::~Expr() {
    if (!has_children(*this)) return;
    try {
        std::vector<Expr> work;
        take_children(*this, work);
        while (!work.empty()) {
            Expr next = std::move(work.back());
            work.pop_back();
            take_children(next, work);
        }  // `next` dies childless here, so its destructor does not recurse
    } catch (...) {
        // No memory for the work list: the children still held are released
        // by ordinary recursion instead.
    }
}

}  // namespace dax
