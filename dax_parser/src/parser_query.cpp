// The query grammar: the DEFINE block with its definition forms (five, and
// MPARAMETER in the engine grammar), the EVALUATE statements, and the checks
// at statement boundaries.
#include <array>

#include "dax_parser/parser.hpp"

namespace dax {

namespace {

// What may follow a complete definition: another definition or a statement;
// the last word only in the engine grammar.
constexpr std::array<std::string_view, 7> definition_followers = {"measure", "function", "var",       "table",
                                                                  "column",  "evaluate", "mparameter"};
constexpr std::size_t standard_definition_followers = 6;
constexpr std::array<std::string_view, 1> statement_followers = {"evaluate"};

// Where a definition ends: after its expression, or after a table's visual shape.
std::size_t definition_end(const definition::Function& d) { return d.body.span.end; }
std::size_t definition_end(const definition::Table& d) {
    return d.visual_shape ? d.visual_shape->span.end : d.expr.span.end;
}
template <class D>
std::size_t definition_end(const D& d) {
    return d.expr.span.end;
}

void append_doc_line(std::optional<std::string>& doc, std::string_view line) {
    if (doc) {
        *doc += '\n';
        *doc += line;
    } else {
        doc = std::string(line);
    }
}

}  // namespace

// The doc comments before a definition, one line each, or nothing; `start`
// moves back to the first of them. In the engine grammar the cursor has
// stepped over them already; in the standard grammar they are eaten here.
std::optional<std::string> Parser::read_doc_comments(std::size_t& start) {
    std::optional<std::string> doc;
    for (const Token& comment : doc_comments_before()) {
        if (!doc) start = comment.span.start;
        append_doc_line(doc, text(comment));
    }
    while (const Token* comment = eat(TokenKind::DocComment)) append_doc_line(doc, text(*comment));
    return doc;
}

void Parser::consume_stmt_terminators() {
    while (eat(TokenKind::Semicolon)) {
    }
}

Status Parser::ensure_stmt_follower(std::span<const std::string_view> keywords, std::size_t count) const {
    const Token& t = peek();
    if (t.kind == TokenKind::DocComment || t.kind == TokenKind::Eof) return std::nullopt;
    if (t.kind == TokenKind::Ident) {
        for (std::size_t i = 0; i < count && i < keywords.size(); ++i)
            if (keyword_equals(text(t), keywords[i])) return std::nullopt;
    }
    return error_here("unexpected token after statement");
}

Status Parser::parse_definition_end() {
    consume_stmt_terminators();
    return ensure_stmt_follower(definition_followers,
                                engine_grammar_ ? definition_followers.size() : standard_definition_followers);
}

// table_name -> ident | 'quoted'
Result<TableName> Parser::parse_table_name() {
    const Token& t = peek();
    if (t.kind == TokenKind::Ident || t.kind == TokenKind::QuotedIdent) {
        advance();
        return TableName{payload(t), t.kind == TokenKind::QuotedIdent, t.span};
    }
    return error_here("expected table name (identifier or single-quoted identifier)");
}

// define_block -> DEFINE { ';' | { doc } definition }
Result<DefineBlock> Parser::parse_define_block() {
    const std::size_t block_start = peek().span.start;
    if (auto error = expect_kw("define")) return std::move(*error);
    DefineBlock block;
    for (;;) {
        consume_stmt_terminators();
        if (at_kw("evaluate") || at(TokenKind::Eof)) break;

        std::size_t start = peek().span.start;
        std::optional<std::string> doc = read_doc_comments(start);
        // Comments after the last definition belong to nothing.
        if (at_kw("evaluate") || at(TokenKind::Eof)) break;

        Result<Definition> definition = [&]() -> Result<Definition> {
            if (at_kw("measure")) return parse_measure_or_column(true, std::move(doc));
            if (at_kw("column")) return parse_measure_or_column(false, std::move(doc));
            if (at_kw("var")) return parse_var_definition(std::move(doc));
            if (at_kw("table")) return parse_table_definition(std::move(doc));
            if (at_kw("function")) return parse_function_definition(std::move(doc));
            if (engine_grammar_ && at_kw("mparameter")) return parse_mparameter_definition(std::move(doc));
            return error_here(engine_grammar_
                                  ? "expected MEASURE, FUNCTION, VAR, TABLE, COLUMN, or MPARAMETER in DEFINE block"
                                  : "expected MEASURE, FUNCTION, VAR, TABLE, or COLUMN in DEFINE block");
        }();
        if (!definition) return std::move(definition).error();
        std::visit([start](auto& d) { d.span = Span{start, definition_end(d)}; }, definition.value());
        block.defs.push_back(std::move(definition).value());
    }
    if (block.defs.empty()) return error_here("DEFINE block must contain at least one definition");
    block.span = Span{block_start, std::visit([](const auto& d) { return d.span.end; }, block.defs.back())};
    return block;
}

// measure -> MEASURE [ table_name ] '[' name ']' '=' expr
// column  -> COLUMN  [ table_name ] '[' name ']' '=' expr
Result<Definition> Parser::parse_measure_or_column(bool is_measure, std::optional<std::string> doc) {
    advance();  // the keyword
    std::optional<TableName> table;
    if (!at(TokenKind::BracketIdent)) {
        auto name = parse_table_name();
        if (!name) return std::move(name).error();
        table = std::move(name).value();
    }
    auto name = expect_bracket_ident(is_measure ? "measure name like [My Measure]" : "column name like [My Column]");
    if (!name) return std::move(name).error();
    if (auto eq = expect(TokenKind::Eq, "`=`"); !eq) return std::move(eq).error();
    auto expr = parse_expr_bp(0);
    if (!expr) return std::move(expr).error();
    if (auto error = parse_definition_end()) return std::move(*error);
    if (is_measure)
        return Definition(definition::Measure{std::move(doc), std::move(table), std::move(name).value(),
                                              std::move(expr).value(), {}});
    return Definition(
        definition::Column{std::move(doc), std::move(table), std::move(name).value(), std::move(expr).value(), {}});
}

// var -> VAR name '=' expr
Result<Definition> Parser::parse_var_definition(std::optional<std::string> doc) {
    advance();  // VAR
    auto name = expect_ident("variable name");
    if (!name) return std::move(name).error();
    if (auto eq = expect(TokenKind::Eq, "`=`"); !eq) return std::move(eq).error();
    auto expr = parse_expr_bp(0);
    if (!expr) return std::move(expr).error();
    if (auto error = parse_definition_end()) return std::move(*error);
    return Definition(definition::Var{std::move(doc), std::move(name).value(), std::move(expr).value(), {}});
}

// table -> TABLE ( ident | 'quoted' ) '=' expr
Result<Definition> Parser::parse_table_definition(std::optional<std::string> doc) {
    advance();  // TABLE
    const Token& t = peek();
    if (t.kind != TokenKind::Ident && t.kind != TokenKind::QuotedIdent)
        return error_here("expected table name for TABLE definition");
    std::string name = payload(t);
    advance();
    if (auto eq = expect(TokenKind::Eq, "`=`"); !eq) return std::move(eq).error();
    auto expr = parse_expr_bp(0);
    if (!expr) return std::move(expr).error();
    std::optional<VisualShape> shape;
    if (engine_grammar_ && at_kw("with")) {
        auto parsed = parse_visual_shape();
        if (!parsed) return std::move(parsed).error();
        shape = std::move(parsed).value();
    }
    if (auto error = parse_definition_end()) return std::move(*error);
    return Definition(
        definition::Table{std::move(doc), std::move(name), std::move(expr).value(), {}, std::move(shape)});
}

// mparameter -> MPARAMETER ( ident | 'quoted' ) '=' expr     (engine grammar)
Result<Definition> Parser::parse_mparameter_definition(std::optional<std::string> doc) {
    advance();  // MPARAMETER
    const Token& t = peek();
    if (t.kind != TokenKind::Ident && t.kind != TokenKind::QuotedIdent)
        return error_here("expected the name of an M parameter (identifier or single-quoted identifier)");
    std::string name = payload(t);
    advance();
    if (auto eq = expect(TokenKind::Eq, "`=`"); !eq) return std::move(eq).error();
    auto expr = parse_expr_bp(0);
    if (!expr) return std::move(expr).error();
    if (auto error = parse_definition_end()) return std::move(*error);
    return Definition(definition::MParameter{std::move(doc), std::move(name), std::move(expr).value(), {}});
}

// visual_shape -> WITH VISUAL SHAPE axis { axis } [ DENSIFY string ]
Result<VisualShape> Parser::parse_visual_shape() {
    VisualShape shape;
    shape.span.start = peek().span.start;
    advance();  // WITH
    if (auto error = expect_kw("visual")) return std::move(*error);
    if (auto error = expect_kw("shape")) return std::move(*error);
    do {
        auto axis = parse_visual_axis();
        if (!axis) return std::move(axis).error();
        shape.axes.push_back(std::move(axis).value());
    } while (at_kw("axis"));
    if (eat_kw("densify")) {
        const Token* name = eat(TokenKind::String);
        if (!name) return error_here("expected the name of the DENSIFY column as a string");
        shape.densify = payload(*name);
    }
    shape.span.end = last_end();
    return shape;
}

// axis  -> AXIS ( ROWS | COLUMNS ) { group } [ ORDER BY key { sep key } ]
// group -> GROUP expr { sep expr } [ TOTAL expr ]
Result<VisualAxis> Parser::parse_visual_axis() {
    VisualAxis axis;
    axis.span.start = peek().span.start;
    if (auto error = expect_kw("axis")) return std::move(*error);
    if (!at_kw("rows") && !at_kw("columns")) return error_here("expected ROWS or COLUMNS after AXIS");
    axis.name = std::string(text(peek()));
    advance();
    while (at_kw("group")) {
        VisualGroup group;
        group.span.start = peek().span.start;
        advance();
        do {
            auto column = parse_expr_bp(0);
            if (!column) return std::move(column).error();
            group.columns.push_back(std::move(column).value());
        } while (eat_list_separator());
        if (eat_kw("total")) {
            auto total = parse_expr_bp(0);
            if (!total) return std::move(total).error();
            group.total = std::move(total).value();
        }
        group.span.end = last_end();
        axis.groups.push_back(std::move(group));
    }
    if (eat_kw("order")) {
        if (auto error = expect_kw("by")) return std::move(*error);
        if (auto error = parse_order_keys(axis.order_by)) return std::move(*error);
    }
    if (axis.groups.empty() && axis.order_by.empty()) return error_here("expected GROUP or ORDER BY in AXIS");
    axis.span.end = last_end();
    return axis;
}

// keys -> key { sep key };  key -> expr [ ASC | DESC ]
Status Parser::parse_order_keys(std::vector<OrderKey>& keys) {
    do {
        auto key = parse_expr_bp(0);
        if (!key) return std::move(key).error();
        SortDirection direction = SortDirection::Asc;
        if (eat_kw("asc")) direction = SortDirection::Asc;
        else if (eat_kw("desc")) direction = SortDirection::Desc;
        const Span span{key.value().span.start, last_end()};
        keys.push_back(OrderKey{std::move(key).value(), direction, span});
    } while (eat_list_separator());
    return std::nullopt;
}

// function -> FUNCTION name '=' lambda
Result<Definition> Parser::parse_function_definition(std::optional<std::string> doc) {
    advance();  // FUNCTION
    auto name = expect_ident("function name");
    if (!name) return std::move(name).error();
    if (auto eq = expect(TokenKind::Eq, "`=`"); !eq) return std::move(eq).error();
    auto function = parse_lambda(std::move(doc), std::move(name).value());
    if (!function) return std::move(function).error();
    if (auto error = parse_definition_end()) return std::move(*error);
    return Definition(std::move(function).value());
}

// lambda -> '(' params ')' '=>' expr
Result<definition::Function> Parser::parse_lambda(std::optional<std::string> doc, std::string name) {
    if (auto open = expect(TokenKind::LParen, "`(`"); !open) return std::move(open).error();
    auto params = parse_function_params();
    if (!params) return std::move(params).error();
    if (auto close = expect(TokenKind::RParen, "`)`"); !close) return std::move(close).error();
    if (auto arrow = expect(TokenKind::Arrow, "`=>`"); !arrow) return std::move(arrow).error();
    auto body = parse_expr_bp(0);
    if (!body) return std::move(body).error();
    return definition::Function{std::move(doc), std::move(name), std::move(params).value(), std::move(body).value(),
                                {}};
}

// function_text -> { doc } lambda EOF: a model's function, whose name the model holds.
Result<definition::Function> Parser::parse_function_text() {
    std::size_t start = peek().span.start;
    std::optional<std::string> doc = read_doc_comments(start);
    auto function = parse_lambda(std::move(doc), std::string());
    if (!function) return function;
    if (!at(TokenKind::Eof)) return error_here("expected end of input");
    function.value().span = Span{start, last_end()};
    return function;
}

// params -> [ param { sep param } ]
// param  -> name [ ':' ident { ident } ] [ '=' expr ]     (the default: engine grammar)
Result<std::vector<FuncParam>> Parser::parse_function_params() {
    std::vector<FuncParam> params;
    if (at(TokenKind::RParen)) return params;
    for (;;) {
        const std::size_t start = peek().span.start;
        auto name = expect_ident("parameter name");
        if (!name) return std::move(name).error();
        FuncParam param{std::move(name).value(), {}, {}, std::nullopt};
        if (eat(TokenKind::Colon)) {
            while (const Token* hint = eat(TokenKind::Ident)) param.type_hints.emplace_back(text(*hint));
            if (param.type_hints.empty()) return error_here("expected at least one type hint after ':'");
        }
        if (engine_grammar_ && eat(TokenKind::Eq)) {
            auto value = parse_expr_bp(0);
            if (!value) return std::move(value).error();
            param.default_value = std::move(value).value();
        }
        param.span = Span{start, last_end()};
        params.push_back(std::move(param));
        if (!eat_list_separator()) return params;
        if (at(TokenKind::RParen)) return error_here("trailing separator in FUNCTION parameter list");
    }
}

// evaluate -> EVALUATE expr [ ORDER BY key { sep key } [ START AT expr { sep expr } ] ]
Result<EvaluateStmt> Parser::parse_evaluate_stmt() {
    const std::size_t start = peek().span.start;
    if (auto error = expect_kw("evaluate")) return std::move(*error);
    auto expr = parse_expr_bp(0);
    if (!expr) return std::move(expr).error();
    EvaluateStmt stmt{std::move(expr).value(), {}, std::nullopt, {}};

    if (eat_kw("order")) {
        if (auto error = expect_kw("by")) return std::move(*error);
        if (auto error = parse_order_keys(stmt.order_by)) return std::move(*error);
    }

    if (at_kw("start")) {
        if (stmt.order_by.empty()) return error_here("START AT requires an ORDER BY clause");
        advance();
        if (auto error = expect_kw("at")) return std::move(*error);
        std::vector<Expr> values;
        do {
            auto value = parse_expr_bp(0);
            if (!value) return std::move(value).error();
            values.push_back(std::move(value).value());
        } while (eat_list_separator());
        if (values.size() > stmt.order_by.size()) return error_here("START AT has more arguments than ORDER BY");
        stmt.start_at = std::move(values);
    }
    stmt.span = Span{start, last_end()};

    consume_stmt_terminators();
    if (auto error = ensure_stmt_follower(statement_followers, statement_followers.size())) return std::move(*error);
    return stmt;
}

// query -> { doc } [ define_block ] { ';' | doc | evaluate } EOF
Result<Query> Parser::parse_query() {
    const auto docs = doc_comments_before();  // engine grammar: leading doc comments already stepped over
    const std::size_t start = docs.empty() ? peek().span.start : docs.front().span.start;
    while (eat(TokenKind::DocComment)) {
    }
    Query query;
    if (at_kw("define")) {
        auto block = parse_define_block();
        if (!block) return std::move(block).error();
        query.define = std::move(block).value();
    }
    for (;;) {
        consume_stmt_terminators();
        while (eat(TokenKind::DocComment)) {
        }
        if (!at_kw("evaluate")) break;
        auto stmt = parse_evaluate_stmt();
        if (!stmt) return std::move(stmt).error();
        query.evaluates.push_back(std::move(stmt).value());
    }
    if (query.evaluates.empty()) return error_here("expected at least one EVALUATE statement");
    consume_stmt_terminators();
    while (eat(TokenKind::DocComment)) {
    }
    if (!at(TokenKind::Eof)) return error_here("expected end of input");
    query.span = Span{start, last_end()};
    return query;
}

}  // namespace dax
