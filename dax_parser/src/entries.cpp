// The library's entries: lex the whole text, then parse it with a fresh
// parser. The token vector dies with the parser, before the call returns.
#include "dax_parser/dax_parser.hpp"

namespace dax {

namespace {

template <class Rule>
auto lex_then_parse(std::string_view input, Dialect dialect, Grammar grammar, Rule rule)
    -> Result<typename std::remove_cvref_t<decltype(rule(std::declval<Parser&>()).value())>, DaxError> {
    auto tokens = Lexer(input, dialect).lex_all();
    if (!tokens) return DaxError::lex(std::move(tokens).error());
    Parser parser(input, std::move(tokens).value(), dialect, grammar);
    auto result = rule(parser);
    if (!result) return DaxError::parse(std::move(result).error());
    return std::move(result).value();
}

}  // namespace

Result<Expr, DaxError> parse_expression_with_dialect(std::string_view input, Dialect dialect, Grammar grammar) {
    return lex_then_parse(input, dialect, grammar, [](Parser& p) { return p.parse_formula_expression(); });
}

Result<Expr, DaxError> parse_expression(std::string_view input) {
    return parse_expression_with_dialect(input, default_dialect);
}

Result<Query, DaxError> parse_query_with_dialect(std::string_view input, Dialect dialect, Grammar grammar) {
    return lex_then_parse(input, dialect, grammar, [](Parser& p) { return p.parse_query(); });
}

Result<Query, DaxError> parse_query(std::string_view input) { return parse_query_with_dialect(input, default_dialect); }

Result<definition::Function, DaxError> parse_function_with_dialect(std::string_view input, Dialect dialect,
                                                                    Grammar grammar) {
    return lex_then_parse(input, dialect, grammar, [](Parser& p) { return p.parse_function_text(); });
}

}  // namespace dax
