// The library's entries: lex, parse one expression, parse one query.
// Each takes UTF-8 text and returns its result or a DaxError; none throws
// except InternalFault (a broken invariant) and std::bad_alloc.
#pragma once

#include <string_view>
#include <vector>

#include "dax_parser/dialect.hpp"
#include "dax_parser/errors.hpp"
#include "dax_parser/expr.hpp"
#include "dax_parser/lexer.hpp"
#include "dax_parser/parser.hpp"
#include "dax_parser/query.hpp"
#include "dax_parser/token.hpp"

namespace dax {

Result<Expr, DaxError> parse_expression(std::string_view input);
Result<Expr, DaxError> parse_expression_with_dialect(std::string_view input, Dialect dialect,
                                                     Grammar grammar = Grammar::Standard);

Result<Query, DaxError> parse_query(std::string_view input);
Result<Query, DaxError> parse_query_with_dialect(std::string_view input, Dialect dialect,
                                                 Grammar grammar = Grammar::Standard);

// A user-defined function as a model stores it: `(parameters) => body` and
// nothing after it (doc comments may come first). The name is left empty.
Result<definition::Function, DaxError> parse_function_with_dialect(std::string_view input, Dialect dialect,
                                                                    Grammar grammar = Grammar::Standard);

}  // namespace dax
