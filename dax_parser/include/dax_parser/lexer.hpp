// The lexer: cuts the whole source text into tokens before any parsing starts.
// Tokens record where they stand; their payloads are read from the input.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "dax_parser/dialect.hpp"
#include "dax_parser/errors.hpp"
#include "dax_parser/token.hpp"

namespace dax {

class Lexer {
public:
    // `input` must be valid UTF-8 and outlive the lexer. With `keep_comments`
    // the line and block comments become tokens too (LineComment runs to the
    // line feed, which is not part of it), so that the tokens and the white
    // space between them make up the whole input; only tools that reproduce
    // the text ask for that, never the parser.
    Lexer(std::string_view input, Dialect dialect, bool keep_comments = false) noexcept
        : input_(input), dialect_(dialect), keep_comments_(keep_comments) {}

    // Returns every token of the input, ending with exactly one Eof, or the
    // first lexical error. Nothing partial is returned on error.
    Result<TokenVector> lex_all();

private:
    std::optional<char32_t> bump_char() noexcept;
    std::size_t lex_ident() noexcept;
    void lex_number() noexcept;
    std::optional<ParseError> lex_delimited(char closer, TokenKind kind, Token& token);
    void lex_doc_comment() noexcept;
    std::optional<ParseError> skip_block_comment(std::size_t start) noexcept;
    void skip_line_comment(TokenVector& tokens, std::size_t start);
    void skip_white_space() noexcept;

    std::string_view input_;
    std::size_t pos_ = 0;
    Dialect dialect_;
    bool keep_comments_ = false;
};

// Lexes `input` under the default dialect.
Result<TokenVector, DaxError> lex(std::string_view input);

// Lexes `input` under any dialect.
Result<TokenVector, DaxError> lex_with_dialect(std::string_view input, Dialect dialect);

}  // namespace dax
