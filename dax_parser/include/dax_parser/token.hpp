// Spans and tokens: the units the lexer cuts the source text into.
// Every offset counts bytes of the UTF-8 input, never characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dax_parser/large_pages.hpp"

namespace dax {

// A byte range of the input; `end` is exclusive.
struct Span {
    std::size_t start = 0;
    std::size_t end = 0;

    friend bool operator==(const Span&, const Span&) = default;
};

// The one list of token kinds, in tag order. Each entry names the variant and
// its punctuation spelling (empty for kinds that carry a payload or none).
// The enum, the JSON names and the spellings are all generated from it.
#define DAX_TOKEN_KINDS(X) \
    X(DocComment, "")      \
    X(Ident, "")           \
    X(Param, "")           \
    X(Number, "")          \
    X(String, "")          \
    X(QuotedIdent, "")     \
    X(BracketIdent, "")    \
    X(LParen, "(")         \
    X(RParen, ")")         \
    X(LBrace, "{")         \
    X(RBrace, "}")         \
    X(Comma, ",")          \
    X(Semicolon, ";")      \
    X(Dot, ".")            \
    X(Colon, ":")          \
    X(Arrow, "=>")         \
    X(Plus, "+")           \
    X(Minus, "-")          \
    X(Star, "*")           \
    X(Slash, "/")          \
    X(Caret, "^")          \
    X(Amp, "&")            \
    X(Eq, "=")             \
    X(EqEq, "==")          \
    X(Neq, "<>")           \
    X(Lt, "<")             \
    X(Lte, "<=")           \
    X(Gt, ">")             \
    X(Gte, ">=")           \
    X(AndAnd, "&&")        \
    X(OrOr, "||")          \
    X(Eof, "")             \
    X(LineComment, "")     \
    X(BlockComment, "")

enum class TokenKind : std::uint8_t {
#define DAX_ENUM_ENTRY(name, spelling) name,
    DAX_TOKEN_KINDS(DAX_ENUM_ENTRY)
#undef DAX_ENUM_ENTRY
};

// The two comment kinds come after Eof: only a lexer asked to keep comments
// makes them, and the parser never sees them.
inline constexpr std::size_t token_kind_count = static_cast<std::size_t>(TokenKind::BlockComment) + 1;

// The first seven kinds carry a text payload; the others carry nothing.
constexpr bool has_payload(TokenKind kind) noexcept {
    return static_cast<std::uint8_t>(kind) <= static_cast<std::uint8_t>(TokenKind::BracketIdent);
}

// The variant's name exactly as declared ("Ident", "LParen", ...).
std::string_view token_kind_name(TokenKind kind) noexcept;

// One lexical unit: its kind and where it stands. Its payload text is read
// from the input it was cut from when needed, so a token takes 24 bytes and
// copies nothing; the trees copy what they keep. Only a string or a quoted or
// bracketed name can differ from its source text: there each doubled closing
// delimiter stands for one.
struct Token {
    TokenKind kind = TokenKind::Eof;
    bool has_doubled_delimiter = false;
    Span span;

    // The payload as it stands in `input` (the whole text this token was cut
    // from): delimiters, the `@` and a doc comment's slashes and surrounding
    // white space left out, doubled delimiters still doubled. Empty for
    // kinds without payload.
    std::string_view text(std::string_view input) const noexcept;
    // The payload text, doubled closing delimiters reduced to one.
    std::string payload(std::string_view input) const;

    friend bool operator==(const Token&, const Token&) = default;
};

// The tokens of one input, Eof last. A large input's vector takes tens of
// megabytes, hence the allocator.
using TokenVector = std::vector<Token, LargePageAllocator<Token>>;

}  // namespace dax
