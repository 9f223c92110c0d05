// The token cursor: every grammar rule reads tokens through these operations.
#include "dax_parser/parser.hpp"

#include "stack_bounds.hpp"

namespace dax {

bool keyword_equals(std::string_view text, std::string_view keyword) noexcept {
    if (text.size() != keyword.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != keyword[i]) return false;
    }
    return true;
}

Parser::Parser(std::string_view input, TokenVector tokens, Dialect dialect, Grammar grammar)
    : input_(input), tokens_(std::move(tokens)), dialect_(dialect), engine_grammar_(grammar == Grammar::Engine) {
    // Checked once here rather than at every look at the current token.
    if (tokens_.empty() || tokens_.back().kind != TokenKind::Eof)
        throw InternalFault("token stream should always end with EOF");
    if (const std::uintptr_t floor = detail::stack_floor()) stack_limit_ = floor + detail::stack_reserve;
    if (engine_grammar_) skip_doc_comments();
}

void Parser::advance() {
    if (peek().kind == TokenKind::Eof) return;
    previous_ = pos_++;
    if (engine_grammar_) skip_doc_comments();
}

// In the engine grammar `///` starts an ordinary comment; only a DEFINE
// block reads such lines, as the doc of the definition they precede.
void Parser::skip_doc_comments() noexcept {
    doc_run_ = pos_;
    while (tokens_[pos_].kind == TokenKind::DocComment) ++pos_;
}

ParseError Parser::error_here(std::string message) const { return ParseError{std::move(message), peek().span}; }

const Token* Parser::eat(TokenKind kind) {
    const Token& t = peek();
    if (t.kind != kind) return nullptr;
    advance();
    return &t;
}

bool Parser::at_kw(std::string_view keyword) const {
    const Token& t = peek();
    return t.kind == TokenKind::Ident && keyword_equals(text(t), keyword);
}

bool Parser::eat_kw(std::string_view keyword) {
    if (!at_kw(keyword)) return false;
    advance();
    return true;
}

bool Parser::eat_list_separator() {
    return eat(TokenKind::Comma) || (dialect_.semicolon_list_separator && eat(TokenKind::Semicolon));
}

Result<const Token*> Parser::expect(TokenKind kind, std::string_view what) {
    if (const Token* t = eat(kind)) return t;
    return error_here("expected " + std::string(what));
}

Status Parser::expect_kw(std::string_view keyword) {
    if (eat_kw(keyword)) return std::nullopt;
    return error_here("expected keyword " + std::string(keyword));
}

Result<std::string> Parser::expect_ident(std::string_view what) {
    if (const Token* t = eat(TokenKind::Ident)) return std::string(text(*t));
    return error_here("expected " + std::string(what));
}

Result<std::string> Parser::expect_bracket_ident(std::string_view what) {
    if (const Token* t = eat(TokenKind::BracketIdent)) return payload(*t);
    return error_here("expected " + std::string(what));
}

}  // namespace dax
