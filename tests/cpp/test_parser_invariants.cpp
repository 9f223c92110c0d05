// What Python cannot reach: the cursor over a broken token vector, the cursor
// at the end of input, and keyword matching.
#include <string>
#include <vector>

#include "check.hpp"
#include "dax_parser/dax_parser.hpp"

namespace {

dax::Parser parser_over(std::string_view input) {
    auto tokens = dax::lex(input);
    return dax::Parser(input, std::move(tokens).value(), dax::default_dialect);
}

template <class F>
std::string fault_message(F&& f) {
    try {
        f();
    } catch (const dax::InternalFault& fault) {
        return fault.what();
    }
    return "no fault";
}

}  // namespace

TEST_CASE(token_vector_without_final_eof_is_an_internal_fault) {
    const std::string expected = "token stream should always end with EOF";
    CHECK_EQ(fault_message([] { (void)dax::Parser("", {}, dax::default_dialect).parse_formula_expression(); }), expected);
    CHECK_EQ(fault_message([] { (void)dax::Parser("", {}, dax::default_dialect).parse_query(); }), expected);
    const dax::TokenVector no_eof = {dax::Token{dax::TokenKind::Ident, false, {0, 1}}};
    CHECK_EQ(fault_message([&] { (void)dax::Parser("x", no_eof, dax::default_dialect).parse_formula_expression(); }),
             expected);
    // An Eof that is not last still ends what the cursor can see.
    const dax::TokenVector eof_then_more = {dax::Token{dax::TokenKind::Eof, false, {0, 0}},
                                                   dax::Token{dax::TokenKind::Eof, false, {0, 0}}};
    CHECK_EQ(fault_message([&] { (void)dax::Parser("", eof_then_more, dax::default_dialect).parse_query(); }),
             std::string("no fault"));
}

TEST_CASE(cursor_never_moves_past_eof) {
    auto p = parser_over("x");
    CHECK(p.eat(dax::TokenKind::Ident) != nullptr);
    for (int i = 0; i < 3; ++i) {
        CHECK(p.eat(dax::TokenKind::Eof) != nullptr);
        CHECK_EQ(p.pos(), 1u);
    }
    auto first = p.expect(dax::TokenKind::RParen, "`)`");
    auto second = p.expect(dax::TokenKind::RParen, "`)`");
    CHECK(!first && !second);
    CHECK_EQ(first.error(), (dax::ParseError{"expected `)`", {1, 1}}));
    CHECK_EQ(second.error(), first.error());
}

TEST_CASE(keyword_matching_folds_ascii_only) {
    struct Case {
        const char* input;
        bool matches_var;
    };
    const Case cases[] = {
        {"VAR", true}, {"Var", true}, {"vAr", true}, {"VARS", false}, {"'var'", false},
        {"[var]", false}, {"va", false}, {"\"var\"", false},
    };
    for (const auto& c : cases) {
        auto p = parser_over(c.input);
        CHECK_EQ(p.eat_kw("var"), c.matches_var);
        CHECK_EQ(p.pos(), c.matches_var ? 1u : 0u);
    }
    // Non-ASCII letters are compared as they are: `É` never folds to `é`.
    CHECK(dax::keyword_equals("caf\xc3\xa9", "caf\xc3\xa9"));
    CHECK(!dax::keyword_equals("CAF\xc3\x89", "caf\xc3\xa9"));
    CHECK(dax::keyword_equals("CAF\xc3\xa9", "caf\xc3\xa9"));
}

TEST_CASE(expect_errors_leave_the_position) {
    auto p = parser_over("1 x");
    CHECK(!p.expect_ident("variable name"));
    CHECK_EQ(p.pos(), 0u);
    CHECK_EQ(p.expect_kw("return"), (dax::Status{dax::ParseError{"expected keyword return", {0, 1}}}));
    CHECK_EQ(p.expect_bracket_ident("hierarchy level like [Year]").error().message,
             std::string("expected hierarchy level like [Year]"));
    CHECK_EQ(p.pos(), 0u);
}

TEST_CASE(depth_is_balanced_after_success_and_failure) {
    for (const char* input : {"((1))", "((1)", "VAR a = (1 RETURN a", "f(1, g(2, h(3)))", "-(-(NOT 1))"}) {
        auto p = parser_over(input);
        (void)p.parse_formula_expression();
        CHECK_EQ(p.depth(), 0u);
    }
}

TEST_CASE(malformed_utf8_is_handled_safely) {
    // The library is handed valid UTF-8; a caller who breaks that must still
    // get an error inside the input, never a read past its end.
    const std::string inputs[] = {"\xff", "a\xc3", "\xe2\x82", "x \xf0\x9f\x98", "\"\xc3", "'\xe2"};
    for (const auto& input : inputs) {
        auto tokens = dax::lex(input);
        if (tokens) {
            CHECK_EQ(tokens.value().back().span, (dax::Span{input.size(), input.size()}));
        } else {
            CHECK(tokens.error().error.span.end <= input.size());
        }
    }
}
