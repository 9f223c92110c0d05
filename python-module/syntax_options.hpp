// The `options` argument that the syntax module's entries take: bits for the
// grammar, the separator convention and comments, and what they select.
#pragma once

#include "dax_parser/dialect.hpp"
#include "dax_parser/parser.hpp"

namespace dax::python {

inline constexpr long option_engine_grammar = 1;
inline constexpr long option_semicolon_lists = 2;  // `;` separates lists and `,` is the decimal mark
inline constexpr long option_comments = 4;         // tokenize: keep line and block comments

inline dax::Dialect dialect_of(long options) noexcept {
    dax::Dialect dialect = dax::default_dialect;
    if (options & option_semicolon_lists) {
        dialect.semicolon_list_separator = true;
        dialect.comma_decimal_separator = true;
    }
    return dialect;
}

inline dax::Grammar grammar_of(long options) noexcept {
    return (options & option_engine_grammar) ? dax::Grammar::Engine : dax::Grammar::Standard;
}

}  // namespace dax::python
