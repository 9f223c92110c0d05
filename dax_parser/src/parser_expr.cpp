// The expression grammar: precedence climbing over binary operators, the
// prefix forms, and the primary forms (literals, references, calls, tables).
#include <array>

#include "dax_parser/parser.hpp"
#include "stack_bounds.hpp"

namespace dax {

namespace {

struct BinaryRule {
    bool is_operator = false;
    BinaryOp op = BinaryOp::Add;
    std::uint8_t lbp = 0;  // how tightly the operator binds its left operand
    std::uint8_t rbp = 0;  // the minimum binding power of its right operand
};

// Binding powers by token kind. Left associativity shows as rbp = lbp + 1;
// `^` groups to the right, so its rbp equals its lbp. The word IN is an
// Ident and is looked up separately (same row as the comparisons).
constexpr std::array<BinaryRule, token_kind_count> binary_rules = [] {
    std::array<BinaryRule, token_kind_count> t{};
    const auto rule = [&t](TokenKind kind, BinaryOp op, std::uint8_t lbp, std::uint8_t rbp) {
        t[static_cast<std::size_t>(kind)] = BinaryRule{true, op, lbp, rbp};
    };
    rule(TokenKind::OrOr, BinaryOp::Or, 1, 2);
    rule(TokenKind::AndAnd, BinaryOp::And, 2, 3);
    rule(TokenKind::Eq, BinaryOp::Eq, 4, 5);
    rule(TokenKind::EqEq, BinaryOp::StrictEq, 4, 5);
    rule(TokenKind::Neq, BinaryOp::Neq, 4, 5);
    rule(TokenKind::Lt, BinaryOp::Lt, 4, 5);
    rule(TokenKind::Lte, BinaryOp::Lte, 4, 5);
    rule(TokenKind::Gt, BinaryOp::Gt, 4, 5);
    rule(TokenKind::Gte, BinaryOp::Gte, 4, 5);
    rule(TokenKind::Amp, BinaryOp::Concat, 5, 6);
    rule(TokenKind::Plus, BinaryOp::Add, 6, 7);
    rule(TokenKind::Minus, BinaryOp::Sub, 6, 7);
    rule(TokenKind::Star, BinaryOp::Mul, 7, 8);
    rule(TokenKind::Slash, BinaryOp::Div, 7, 8);
    rule(TokenKind::Caret, BinaryOp::Pow, 9, 9);
    return t;
}();

constexpr BinaryRule in_rule{true, BinaryOp::In, 4, 5};

// Operand binding powers of the prefix operators.
constexpr std::uint8_t unary_sign_bp = 8;  // tighter than `*`, looser than `^`
constexpr std::uint8_t not_bp = 3;         // up to the next `&&` or `||`

BinaryRule binary_rule(const Token& t, std::string_view input) noexcept {
    if (t.kind == TokenKind::Ident) return keyword_equals(t.text(input), "in") ? in_rule : BinaryRule{};
    return binary_rules[static_cast<std::size_t>(t.kind)];
}

// The items one list has added to the parser's pending items. On every way
// out they are removed again; a complete list first moves them into its own
// vector, allocated once at its final size.
class PendingItems {
public:
    explicit PendingItems(std::vector<Expr>& pending) noexcept : pending_(pending), base_(pending.size()) {}
    ~PendingItems() { pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(base_), pending_.end()); }
    PendingItems(const PendingItems&) = delete;
    PendingItems& operator=(const PendingItems&) = delete;

    [[gnu::noinline]] void move_into(std::vector<Expr>& items) {
        items.reserve(items.size() + (pending_.size() - base_));
        for (std::size_t i = base_; i < pending_.size(); ++i) items.push_back(std::move(pending_[i]));
    }

private:
    std::vector<Expr>& pending_;
    std::size_t base_;
};

// Keeps the nesting counter balanced on every way out of parse_expr_bp.
class DepthScope {
public:
    explicit DepthScope(std::uint32_t& depth) noexcept : depth_(depth) { ++depth_; }
    ~DepthScope() { --depth_; }
    DepthScope(const DepthScope&) = delete;
    DepthScope& operator=(const DepthScope&) = delete;

private:
    std::uint32_t& depth_;
};

}  // namespace

// The rules below are mutually recursive, up to max_expression_depth levels.
// To keep each level's stack small, nodes are built in separate non-inlined
// functions called after the recursion has returned; the recursive frames
// hold little more than the one result slot they are waiting for.

namespace {

// Each helper rebuilds the node inside the caller's one result slot, which the
// caller then returns by name (so it is constructed in its own caller's frame).
[[gnu::noinline]] void combine_binary(Result<Expr>& left, BinaryOp op, Result<Expr>&& right) {
    if (!right) {
        left = std::move(right).error();
        return;
    }
    Expr& lhs = left.value();
    const Span span{lhs.span.start, right.value().span.end};
    ExprBox old_left = box(std::move(lhs));
    lhs.v.emplace<node::Binary>(node::Binary{op, std::move(old_left), box(std::move(right).value())});
    lhs.span = span;
}

[[gnu::noinline]] void wrap_unary(Result<Expr>& operand, UnaryOp op, std::size_t start) {
    if (!operand) return;
    Expr& e = operand.value();
    const Span span{start, e.span.end};
    ExprBox inner = box(std::move(e));
    e.v.emplace<node::Unary>(node::Unary{op, std::move(inner)});
    e.span = span;
}

[[gnu::noinline]] void wrap_paren(Result<Expr>& inner, Span span) {
    Expr& e = inner.value();
    ExprBox boxed = box(std::move(e));
    e.v.emplace<node::Paren>(node::Paren{std::move(boxed)});
    e.span = span;
}

// A node of one or a few tokens, at `span`.
template <class Node>
Expr located(Node&& node, Span span) {
    Expr e(std::forward<Node>(node));
    e.span = span;
    return e;
}

[[gnu::noinline]] void fail(Result<Expr>& result, ParseError error) { result = std::move(error); }

// An omitted argument, just after the token before it.
[[gnu::noinline]] void push_omitted(std::vector<Expr>& items, std::size_t at) {
    Expr omitted(node::Omitted{});
    omitted.span = Span{at, at};
    items.push_back(std::move(omitted));
}

template <class Node>
[[gnu::noinline]] Result<Expr> new_node() {
    return Expr(Node{});
}

[[gnu::noinline]] Result<Expr> new_function_call(std::string_view name) {
    return Expr(node::FunctionCall{std::string(name), {}});
}

// Appends a parsed list item to `items` (held inside `owner`), or turns
// `owner` into the item's error. Returns whether the item was taken.
[[gnu::noinline]] bool append_item(Result<Expr>& owner, std::vector<Expr>& items, Result<Expr>&& item) {
    if (!item) {
        owner = std::move(item).error();
        return false;
    }
    items.push_back(std::move(item).value());
    return true;
}

[[gnu::noinline]] void append_var_decl(Result<Expr>& block, std::vector<VarDecl>& decls, std::string_view name,
                                       std::size_t start, Result<Expr>&& value) {
    if (!value) {
        block = std::move(value).error();
        return;
    }
    const Span span{start, value.value().span.end};
    decls.push_back(VarDecl{std::string(name), std::move(value).value(), span});
}

[[gnu::noinline]] void set_var_body(Result<Expr>& block, Result<Expr>&& body) {
    if (!body) {
        block = std::move(body).error();
        return;
    }
    Expr& e = block.value();
    e.span.end = body.value().span.end;
    e.as<node::VarBlock>()->body = box(std::move(body).value());
}

}  // namespace

void Parser::fail_here(Result<Expr>& result, const char* message) const { result = error_here(message); }

Result<Expr> Parser::expr_error_here(const char* message) const { return error_here(message); }

// expr -> prefix { binary_op expr }
// Left operands never add depth, so `1+1+...+1` of any length needs one level.
// A thread with a small stack reaches the end of it before the nesting limit;
// there the same error stops the parse, where a crash would stop the process.
Result<Expr> Parser::parse_expr_bp(std::uint8_t min_bp) {
    if (depth_ >= max_expression_depth || detail::current_stack_position() < stack_limit_)
        return expr_error_here("expression nesting too deep");
    return parse_operators(min_bp);
}

Result<Expr> Parser::parse_operators(std::uint8_t min_bp) {
    DepthScope scope(depth_);
    Result<Expr> left = parse_prefix();
    while (left) {
        const BinaryRule rule = binary_rule(peek(), input_);
        if (!rule.is_operator || rule.lbp < min_bp) break;
        advance();
        combine_binary(left, rule.op, parse_expr_bp(rule.rbp));
    }
    return left;
}

// prefix -> VAR block | '+' expr | '-' expr | NOT expr | primary
Result<Expr> Parser::parse_prefix() {
    if (at_kw("var")) return parse_var_block();
    if (eat(TokenKind::Plus)) return parse_unary(UnaryOp::Plus, unary_sign_bp);
    if (eat(TokenKind::Minus)) return parse_unary(UnaryOp::Minus, unary_sign_bp);
    if (eat_kw("not")) return parse_unary(UnaryOp::Not, not_bp);
    return parse_primary();
}

// The operator was just eaten; the node starts there.
Result<Expr> Parser::parse_unary(UnaryOp op, std::uint8_t operand_bp) {
    const std::size_t start = previous().span.start;
    Result<Expr> operand = parse_expr_bp(operand_bp);
    wrap_unary(operand, op, start);
    return operand;
}

// var_block -> { VAR name '=' expr } RETURN expr
Result<Expr> Parser::parse_var_block() {
    Result<Expr> block = new_node<node::VarBlock>();
    block.value().span.start = peek().span.start;
    auto& decls = block.value().as<node::VarBlock>()->decls;
    while (block && eat_kw("var")) parse_var_decl(block, decls);
    if (!block) return block;
    if (auto error = expect_kw("return")) {
        fail(block, std::move(*error));
        return block;
    }
    set_var_body(block, parse_expr_bp(0));
    return block;
}

// VAR name '=' expr (the keyword already eaten)
void Parser::parse_var_decl(Result<Expr>& block, std::vector<VarDecl>& decls) {
    const std::size_t start = previous().span.start;  // the VAR
    const Token* name = eat(TokenKind::Ident);
    if (!name) return fail_here(block, "expected variable name");
    if (!eat(TokenKind::Eq)) return fail_here(block, "expected `=`");
    append_var_decl(block, decls, text(*name), start, parse_expr_bp(0));
}

// primary -> literal | reference | call | '(' expr ')' | table_constructor
Result<Expr> Parser::parse_primary() {
    // A doc comment before an operand says nothing about it. Skipped in a loop:
    // a run of many `///` lines must not cost stack.
    while (peek().kind == TokenKind::DocComment) advance();

    // Each form records its own span, so that these calls stay tail calls
    // and add no frame to the recursion.
    switch (peek().kind) {
        case TokenKind::Ident:
            return parse_identifier_primary();
        case TokenKind::QuotedIdent:
            return parse_quoted_primary();
        case TokenKind::LParen:
            return parse_paren();
        case TokenKind::LBrace:
            return parse_table_constructor();
        default:
            return parse_literal_primary();
    }
}

// '(' expr ')' | '(' expr sep expr { sep expr } ')' IN ...   (the row: engine grammar)
Result<Expr> Parser::parse_paren() {
    const std::size_t start = peek().span.start;
    advance();
    Result<Expr> inner = parse_expr_bp(0);
    if (!inner) return inner;
    if (at(TokenKind::RParen)) {
        advance();
        wrap_paren(inner, Span{start, last_end()});
    } else if (engine_grammar_ && at_list_separator()) {
        parse_row_constructor(inner, start);
    } else {
        fail_here(inner, "expected `)`");
    }
    return inner;
}

// The rest of a row of values before IN, after its first value; the row
// replaces that value in `first`. Only IN may follow a row.
void Parser::parse_row_constructor(Result<Expr>& first, std::size_t start) {
    std::vector<Expr> items;
    items.push_back(std::move(first).value());
    while (eat_list_separator()) {
        Result<Expr> item = parse_expr_bp(0);
        if (!item) {
            first = std::move(item).error();
            return;
        }
        items.push_back(std::move(item).value());
    }
    if (!at(TokenKind::RParen)) return fail_here(first, "expected `)`");
    advance();
    if (!at_kw("in")) return fail_here(first, "expected IN after a row of values in parentheses");
    first = located(node::RowConstructor{std::move(items)}, Span{start, last_end()});
}

// literal -> param | number | string | '[' name ']'
Result<Expr> Parser::parse_literal_primary() {
    const Token& t = peek();
    switch (t.kind) {
        case TokenKind::Param:
            advance();
            return located(node::Parameter{std::string(text(t))}, t.span);
        case TokenKind::Number:
            advance();
            return located(node::Number{std::string(text(t))}, t.span);
        case TokenKind::String:
            advance();
            return located(node::String{payload(t)}, t.span);
        case TokenKind::BracketIdent:
            advance();
            return located(node::BracketRef{payload(t)}, t.span);
        case TokenKind::Eof:
            return error_here("unexpected end of input");
        default:
            return error_here("expected expression");
    }
}

// ident_primary -> name '(' args ')' | name '[' column ']' hierarchy | TRUE | FALSE | BLANK | name
//                 | DT string         (engine grammar, no space between)
Result<Expr> Parser::parse_identifier_primary() {
    const Token& name = peek();
    advance();
    if (at(TokenKind::LParen)) return parse_function_call(text(name));
    if (engine_grammar_ && at(TokenKind::String) && peek().span.start == name.span.end &&
        keyword_equals(text(name), "dt"))
        return parse_typed_literal(name);
    return parse_name_reference(text(name));
}

// The string of a typed literal, its prefix just eaten.
Result<Expr> Parser::parse_typed_literal(const Token& prefix) {
    const Token& value = peek();
    advance();
    return located(node::TypedLiteral{std::string(text(prefix)), payload(value)}, Span{prefix.span.start, value.span.end});
}

// What a name not followed by `(` stands for. The name was just eaten.
Result<Expr> Parser::parse_name_reference(std::string_view name) {
    const Span name_span = previous().span;
    if (const Token* column = eat(TokenKind::BracketIdent))
        return parse_hierarchy_tail(TableName{std::string(name), false, name_span}, payload(*column));
    // axes -> ROWS COLUMNS | COLUMNS ROWS     (engine grammar)
    if (engine_grammar_ && ((keyword_equals(name, "rows") && at_kw("columns")) ||
                                    (keyword_equals(name, "columns") && at_kw("rows")))) {
        const std::string second(text(peek()));
        advance();
        return located(node::Axis{{std::string(name), second}}, Span{name_span.start, last_end()});
    }
    if (keyword_equals(name, "true")) return located(node::Boolean{true}, name_span);
    if (keyword_equals(name, "false")) return located(node::Boolean{false}, name_span);
    if (keyword_equals(name, "blank")) return located(node::Blank{}, name_span);
    return located(node::Identifier{std::string(name)}, name_span);
}

// call -> name '(' [ arg { sep arg } ] ')'
// arg  -> expr | <nothing>        (nothing: engine grammar, not as the last argument)
Result<Expr> Parser::parse_function_call(std::string_view name) {
    // The start waits in the node rather than in this frame, which the
    // arguments' recursion keeps on the stack.
    Result<Expr> call = new_function_call(name);
    call.value().span.start = previous().span.start;  // the name
    advance();  // `(`
    if (eat(TokenKind::RParen)) {
        call.value().span.end = last_end();
        return call;
    }
    PendingItems args(pending_items_);
    for (;;) {
        if (engine_grammar_ && at_list_separator()) push_omitted(pending_items_, last_end());
        else if (!append_item(call, pending_items_, parse_expr_bp(0))) return call;
        if (!eat_list_separator()) break;
        if (at(TokenKind::RParen)) {
            fail_here(call, "trailing argument separator");
            return call;
        }
    }
    if (!eat(TokenKind::RParen)) {
        fail_here(call, "expected `)`");
    } else {
        args.move_into(call.value().as<node::FunctionCall>()->args);
        call.value().span.end = last_end();
    }
    return call;
}

// quoted_primary -> 'name' '[' column ']' hierarchy | 'name'
Result<Expr> Parser::parse_quoted_primary() {
    std::string name = payload(peek());
    const Span name_span = peek().span;
    advance();
    if (const Token* column = eat(TokenKind::BracketIdent))
        return parse_hierarchy_tail(TableName{std::move(name), true, name_span}, payload(*column));
    return located(node::TableRef{TableName{std::move(name), true, name_span}}, name_span);
}

// table_constructor -> '{' [ row { sep row } ] '}'
// row -> '(' expr { sep expr } ')' | expr
Result<Expr> Parser::parse_table_constructor() {
    if (!at(TokenKind::LBrace)) return expr_error_here("expected `{`");
    Result<Expr> table = new_node<node::TableConstructor>();
    table.value().span.start = peek().span.start;  // kept in the node, not in this frame
    advance();
    auto& rows = table.value().as<node::TableConstructor>()->rows;
    if (eat(TokenKind::RBrace)) {
        table.value().span.end = last_end();
        return table;
    }
    for (;;) {
        std::vector<Expr>& row = rows.emplace_back();
        if (eat(TokenKind::LParen)) {
            if (at(TokenKind::RParen)) {
                fail_here(table, "empty tuple row in table constructor");
                return table;
            }
            PendingItems items(pending_items_);
            for (;;) {
                if (!append_item(table, pending_items_, parse_expr_bp(0))) return table;
                if (!eat_list_separator()) break;
                if (at(TokenKind::RParen)) {
                    fail_here(table, "trailing separator in tuple row");
                    return table;
                }
            }
            if (!eat(TokenKind::RParen)) {
                fail_here(table, "expected `)`");
                return table;
            }
            items.move_into(row);
        } else if (!append_item(table, row, parse_expr_bp(0))) {
            return table;
        }
        if (!eat_list_separator()) {
            if (!eat(TokenKind::RBrace)) fail_here(table, "expected `}`");
            else table.value().span.end = last_end();
            return table;
        }
        if (at(TokenKind::RBrace)) {
            fail_here(table, "trailing separator in table constructor");
            return table;
        }
    }
}

// hierarchy -> { '.' '[' level ']' }
// The table and the column were just eaten.
Result<Expr> Parser::parse_hierarchy_tail(TableName table, std::string column) {
    const std::size_t start = table.span.start;
    if (!at(TokenKind::Dot))
        return located(node::TableColumnRef{std::move(table), std::move(column)}, Span{start, last_end()});
    std::vector<std::string> levels;
    while (eat(TokenKind::Dot)) {
        auto level = expect_bracket_ident("hierarchy level like [Year]");
        if (!level) return std::move(level).error();
        levels.push_back(std::move(level).value());
    }
    return located(node::HierarchyRef{std::move(table), std::move(column), std::move(levels)}, Span{start, last_end()});
}

// formula -> { doc_comment } [ '=' ] expr EOF
Result<Expr> Parser::parse_formula_expression() {
    while (peek().kind == TokenKind::DocComment) advance();
    eat(TokenKind::Eq);
    auto e = parse_expr_bp(0);
    if (!e) return e;
    if (!at(TokenKind::Eof)) return error_here("expected end of input");
    return e;
}

}  // namespace dax
