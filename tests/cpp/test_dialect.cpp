// Every dialect switch, seen through the library entries: Python only ever
// reaches the default dialect, so these effects are pinned here.
#include <string>
#include <vector>

#include "check.hpp"
#include "dax_parser/dax_parser.hpp"
#include "native/json_writer.hpp"

namespace {

using dax::Dialect;
using dax::TokenKind;

std::string kinds(std::string_view input, Dialect dialect) {
    auto tokens = dax::lex_with_dialect(input, dialect);
    if (!tokens) return tokens.error().display();
    std::string out;
    for (const auto& t : tokens.value()) {
        if (!out.empty()) out += ' ';
        out += dax::token_kind_name(t.kind);
        if (dax::has_payload(t.kind)) out += "(" + t.payload(input) + ")";
    }
    return out;
}

std::string expr_json(std::string_view input, Dialect dialect) {
    auto e = dax::parse_expression_with_dialect(input, dialect);
    if (!e) return e.error().display();
    dax::json::Buffer out;
    dax::json::write_expr(out, e.value());
    return std::string(out.view());
}

std::string query_json(std::string_view input, Dialect dialect) {
    auto q = dax::parse_query_with_dialect(input, dialect);
    if (!q) return q.error().display();
    dax::json::Buffer out;
    dax::json::write_query(out, q.value());
    return std::string(out.view());
}

Dialect with(bool semicolons, bool comma_decimal, bool dash, bool slash, bool block) {
    return Dialect{semicolons, comma_decimal, dash, slash, block};
}

const Dialect standard = dax::default_dialect;
const Dialect no_semicolons = with(false, false, true, true, true);
const Dialect european = with(false, true, true, true, true);

}  // namespace

TEST_CASE(default_dialect_is_semicolons_on_comma_decimal_off_comments_on) {
    CHECK(standard.semicolon_list_separator);
    CHECK(!standard.comma_decimal_separator);
    CHECK(standard.dash_line_comments && standard.slash_comments && standard.block_comments);
    CHECK_EQ(sizeof(Dialect), 5u);
}

TEST_CASE(lexer_flags) {
    struct Case {
        const char* input;
        Dialect dialect;
        const char* expected;
    };
    const Case cases[] = {
        // comma as decimal separator
        {"1,5", standard, "Number(1) Comma Number(5) Eof"},
        {"1,5", european, "Number(1,5) Eof"},
        {"1, 5", european, "Number(1) Comma Number(5) Eof"},
        {"1,x", european, "Number(1) Comma Ident(x) Eof"},
        {"1,5,6", european, "Number(1,5) Comma Number(6) Eof"},
        {"1,5e3", european, "Number(1,5e3) Eof"},
        {".5", european, "Number(.5) Eof"},
        // dash comments
        {"1--2", standard, "Number(1) Eof"},
        {"1--2", with(true, false, false, true, true), "Number(1) Minus Minus Number(2) Eof"},
        // slash comments and doc comments
        {"a // b", with(true, false, true, false, true), "Ident(a) Slash Slash Ident(b) Eof"},
        {"/// x", with(true, false, true, false, true), "Slash Slash Slash Ident(x) Eof"},
        {"/// x", standard, "DocComment(x) Eof"},
        {"a // b\nc", standard, "Ident(a) Ident(c) Eof"},
        // block comments
        {"/* x */", with(true, false, true, true, false), "Slash Star Ident(x) Star Slash Eof"},
        {"/* x */y", standard, "Ident(y) Eof"},
        {"/* x", with(true, false, true, true, false), "Slash Star Ident(x) Eof"},
        // the lexer never reads the list-separator flag
        {"f(1;2)", no_semicolons, "Ident(f) LParen Number(1) Semicolon Number(2) RParen Eof"},
    };
    for (const auto& c : cases) CHECK_EQ(kinds(c.input, c.dialect), std::string(c.expected));
}

TEST_CASE(semicolon_list_separator_in_expressions) {
    struct Case {
        const char* input;
        Dialect dialect;
        const char* expected;
    };
    const std::string call12 = R"({"FunctionCall":{"name":"f","args":[{"Number":"1"},{"Number":"2"}]}})";
    const Case cases[] = {
        {"f(1;2)", standard, call12.c_str()},
        {"f(1,2)", standard, call12.c_str()},
        {"f(1;5,6)", standard,
         R"({"FunctionCall":{"name":"f","args":[{"Number":"1"},{"Number":"5"},{"Number":"6"}]}})"},
        {"f(1;2)", no_semicolons, "parse error: expected `)` at 3..4"},
        {"f(1;)", standard, "parse error: trailing argument separator at 4..5"},
        {"{1;2}", standard, R"({"TableConstructor":[[{"Number":"1"}],[{"Number":"2"}]]})"},
        {"{(1;2)}", standard, R"({"TableConstructor":[[{"Number":"1"},{"Number":"2"}]]})"},
        {"{1;2}", no_semicolons, "parse error: expected `}` at 2..3"},
        {"{(1;2)}", no_semicolons, "parse error: expected `)` at 3..4"},
        {"{1;}", standard, "parse error: trailing separator in table constructor at 3..4"},
        {"{(1;)}", standard, "parse error: trailing separator in tuple row at 4..5"},
        // with comma decimals and no semicolon lists, a comma inside digits is a number
        {"f(1,5)", european, R"({"FunctionCall":{"name":"f","args":[{"Number":"1,5"}]}})"},
        {"f(1, 5)", european, R"({"FunctionCall":{"name":"f","args":[{"Number":"1"},{"Number":"5"}]}})"},
    };
    for (const auto& c : cases) CHECK_EQ(expr_json(c.input, c.dialect), std::string(c.expected));
}

TEST_CASE(semicolon_list_separator_in_queries) {
    struct Case {
        const char* input;
        Dialect dialect;
        const char* expected;
    };
    const Case cases[] = {
        {"DEFINE FUNCTION f = (a; b) => 1 EVALUATE {1}", standard,
         R"({"define":{"defs":[{"Function":{"doc":null,"name":"f","params":[{"name":"a","type_hints":[]},{"name":"b","type_hints":[]}],"body":{"Number":"1"}}}]},"evaluates":[{"expr":{"TableConstructor":[[{"Number":"1"}]]},"order_by":[],"start_at":null}]})"},
        {"DEFINE FUNCTION f = (a; b) => 1 EVALUATE {1}", no_semicolons, "parse error: expected `)` at 22..23"},
        {"DEFINE FUNCTION f = (a;) => 1 EVALUATE {1}", standard,
         "parse error: trailing separator in FUNCTION parameter list at 23..24"},
        {"EVALUATE t ORDER BY a; b", standard,
         R"({"define":null,"evaluates":[{"expr":{"Identifier":"t"},"order_by":[{"expr":{"Identifier":"a"},"direction":"Asc"},{"expr":{"Identifier":"b"},"direction":"Asc"}],"start_at":null}]})"},
        {"EVALUATE t ORDER BY a; b", no_semicolons, "parse error: unexpected token after statement at 23..24"},
        {"EVALUATE t ORDER BY a; EVALUATE u", standard, "parse error: unexpected token after statement at 32..33"},
        {"EVALUATE t ORDER BY a; EVALUATE u", no_semicolons,
         R"({"define":null,"evaluates":[{"expr":{"Identifier":"t"},"order_by":[{"expr":{"Identifier":"a"},"direction":"Asc"}],"start_at":null},{"expr":{"Identifier":"u"},"order_by":[],"start_at":null}]})"},
        {"EVALUATE t ORDER BY a, b START AT 1; 2", standard,
         R"({"define":null,"evaluates":[{"expr":{"Identifier":"t"},"order_by":[{"expr":{"Identifier":"a"},"direction":"Asc"},{"expr":{"Identifier":"b"},"direction":"Asc"}],"start_at":[{"Number":"1"},{"Number":"2"}]}]})"},
        {"EVALUATE t ORDER BY a, b START AT 1; 2", no_semicolons,
         "parse error: unexpected token after statement at 37..38"},
    };
    for (const auto& c : cases) CHECK_EQ(query_json(c.input, c.dialect), std::string(c.expected));
}

TEST_CASE(mparameter_is_a_definition_of_the_engine_grammar_alone) {
    struct Case {
        const char* input;
        const char* engine;
        const char* standard;
    };
    const char* const rejected = "parse error: expected MEASURE, FUNCTION, VAR, TABLE, or COLUMN in DEFINE block";
    const Case cases[] = {
        {"DEFINE MPARAMETER p = 1 EVALUATE {1}",
         R"({"define":{"defs":[{"MParameter":{"doc":null,"name":"p","expr":{"Number":"1"}}}]},"evaluates":[{"expr":{"TableConstructor":[[{"Number":"1"}]]},"order_by":[],"start_at":null}]})",
         "at 7..17"},
        // quotes taken off the name, a doc comment kept, `;` between definitions
        {"DEFINE VAR v = 1; /// d\nmparameter 'it''s' = DATE(2022; 5; 23) EVALUATE {v}",
         R"({"define":{"defs":[{"Var":{"doc":null,"name":"v","expr":{"Number":"1"}}},{"MParameter":{"doc":"d","name":"it's","expr":{"FunctionCall":{"name":"DATE","args":[{"Number":"2022"},{"Number":"5"},{"Number":"23"}]}}}}]},"evaluates":[{"expr":{"TableConstructor":[[{"Identifier":"v"}]]},"order_by":[],"start_at":null}]})",
         "at 24..34"},
        // after another definition the standard grammar stops at the word
        {"DEFINE MEASURE T[m] = 1 MPARAMETER p = 1 EVALUATE {1}",
         R"({"define":{"defs":[{"Measure":{"doc":null,"table":{"name":"T","quoted":false},"name":"m","expr":{"Number":"1"}}},{"MParameter":{"doc":null,"name":"p","expr":{"Number":"1"}}}]},"evaluates":[{"expr":{"TableConstructor":[[{"Number":"1"}]]},"order_by":[],"start_at":null}]})",
         "parse error: unexpected token after statement at 24..34"},
        {"DEFINE MPARAMETER [p] = 1 EVALUATE {1}",
         "parse error: expected the name of an M parameter (identifier or single-quoted identifier) at 18..21",
         "at 7..17"},
        {"DEFINE MPARAMETER p 1 EVALUATE {1}", "parse error: expected `=` at 20..21", "at 7..17"},
    };
    for (const auto& c : cases) {
        auto engine = dax::parse_query_with_dialect(c.input, standard, dax::Grammar::Engine);
        std::string engine_json = engine ? "" : engine.error().display();
        if (engine) {
            dax::json::Buffer out;
            dax::json::write_query(out, engine.value());
            engine_json = std::string(out.view());
        }
        CHECK_EQ(engine_json, std::string(c.engine));
        const std::string standard_expected =
            std::string(c.standard).starts_with("at ") ? std::string(rejected) + " " + c.standard : c.standard;
        CHECK_EQ(query_json(c.input, standard), standard_expected);
    }
}
