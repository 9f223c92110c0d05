// The parsing state shared by the expression and query grammars, with the
// cursor operations through which every grammar rule reads tokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dax_parser/dialect.hpp"
#include "dax_parser/errors.hpp"
#include "dax_parser/expr.hpp"
#include "dax_parser/query.hpp"
#include "dax_parser/token.hpp"

namespace dax {

// At most this many expression parses may be active at once. It bounds the
// parser's recursion, and with it the stack a call needs, whatever the input.
inline constexpr std::uint32_t max_expression_depth = 256;

// Success, or the error that ended a rule.
using Status = std::optional<ParseError>;

class Parser {
public:
    // `tokens` were cut from `input`, which must outlive the parser. Throws
    // InternalFault unless `tokens` ends with Eof, as the lexer's output
    // always does; every cursor operation relies on it.
    Parser(std::string_view input, TokenVector tokens, Dialect dialect, Grammar grammar = Grammar::Standard);

    // --- cursor -----------------------------------------------------------
    // Returns the current token; the cursor never moves past Eof.
    const Token& peek() const noexcept { return tokens_[pos_]; }
    // On a kind match (tag only) advances and returns the eaten token.
    const Token* eat(TokenKind kind);
    // True (and advances) when the current token is an Ident spelling `keyword`
    // with ASCII letters compared without case. `keyword` is lower case.
    bool eat_kw(std::string_view keyword);
    Result<const Token*> expect(TokenKind kind, std::string_view what);
    Status expect_kw(std::string_view keyword);
    Result<std::string> expect_ident(std::string_view what);
    Result<std::string> expect_bracket_ident(std::string_view what);

    // True when the current token is an Ident spelling `keyword` (no move).
    bool at_kw(std::string_view keyword) const;
    bool at(TokenKind kind) const { return peek().kind == kind; }
    // Eats a list separator: a comma, or a semicolon when the dialect allows.
    bool eat_list_separator();
    bool at_list_separator() const {
        return at(TokenKind::Comma) || (dialect_.semicolon_list_separator && at(TokenKind::Semicolon));
    }

    std::size_t pos() const noexcept { return pos_; }
    // The payload of `t` as it stands in the input; `payload` reduces the
    // doubled delimiters of strings and quoted or bracketed names.
    std::string_view text(const Token& t) const noexcept { return t.text(input_); }
    std::string payload(const Token& t) const { return t.payload(input_); }
    std::uint32_t depth() const noexcept { return depth_; }
    // The last token eaten, and where it ends: where a node that ends here
    // ends. Not simply the token before the current one, which in the engine
    // grammar may be a doc comment stepped over. previous() needs a token
    // eaten; last_end() is 0 before any is.
    const Token& previous() const noexcept { return tokens_[previous_]; }
    std::size_t last_end() const noexcept { return previous_ == nothing_eaten ? 0 : tokens_[previous_].span.end; }

    // --- expressions --------------------------------------------------------
    Result<Expr> parse_expr_bp(std::uint8_t min_bp);
    Result<Expr> parse_prefix();
    Result<Expr> parse_primary();
    Result<Expr> parse_table_constructor();
    Result<Expr> parse_hierarchy_tail(TableName table, std::string column);
    Result<Expr> parse_formula_expression();

    // --- queries ------------------------------------------------------------
    Result<Query> parse_query();
    Result<definition::Function> parse_function_text();
    Result<DefineBlock> parse_define_block();
    Result<TableName> parse_table_name();
    void consume_stmt_terminators();
    Status ensure_stmt_follower(std::span<const std::string_view> keywords, std::size_t count) const;

    // The doc comments right before the current token, for the definition it
    // may start: in the standard grammar the cursor stops on them and the
    // DEFINE block eats them; in the engine grammar the cursor steps over
    // them, and these are they.
    std::span<const Token> doc_comments_before() const noexcept {
        if (!engine_grammar_) return {};
        return {tokens_.data() + doc_run_, pos_ - doc_run_};
    }

private:
    void advance();
    void skip_doc_comments() noexcept;
    ParseError error_here(std::string message) const;
    // Out of line so that the error's text is built outside the frames of
    // the recursive rules, which stay small.
    [[gnu::noinline]] void fail_here(Result<Expr>& result, const char* message) const;
    [[gnu::noinline]] Result<Expr> expr_error_here(const char* message) const;
    Result<Expr> parse_operators(std::uint8_t min_bp);
    Result<Expr> parse_unary(UnaryOp op, std::uint8_t operand_bp);
    Result<Expr> parse_var_block();
    void parse_var_decl(Result<Expr>& block, std::vector<VarDecl>& decls);
    Result<Expr> parse_identifier_primary();
    Result<Expr> parse_name_reference(std::string_view name);
    Result<Expr> parse_quoted_primary();
    Result<Expr> parse_paren();
    Result<Expr> parse_literal_primary();
    Result<Expr> parse_function_call(std::string_view name);
    Result<Expr> parse_typed_literal(const Token& prefix);
    void parse_row_constructor(Result<Expr>& first, std::size_t start);
    Result<VisualShape> parse_visual_shape();
    Result<VisualAxis> parse_visual_axis();
    Result<Definition> parse_measure_or_column(bool is_measure, std::optional<std::string> doc);
    Result<Definition> parse_var_definition(std::optional<std::string> doc);
    Result<Definition> parse_table_definition(std::optional<std::string> doc);
    Result<Definition> parse_function_definition(std::optional<std::string> doc);
    Result<Definition> parse_mparameter_definition(std::optional<std::string> doc);
    Result<definition::Function> parse_lambda(std::optional<std::string> doc, std::string name);
    Status parse_order_keys(std::vector<OrderKey>& keys);
    std::optional<std::string> read_doc_comments(std::size_t& start);
    Result<std::vector<FuncParam>> parse_function_params();
    Status parse_definition_end();
    Result<EvaluateStmt> parse_evaluate_stmt();

    std::string_view input_;
    TokenVector tokens_;
    // Items of the argument lists and tuple rows being parsed, innermost
    // last. Each list moves its own items into a vector of exactly their
    // number once it is complete, instead of growing one vector by doubling.
    std::vector<Expr> pending_items_;
    std::size_t pos_ = 0;
    static constexpr std::size_t nothing_eaten = static_cast<std::size_t>(-1);
    std::size_t previous_ = nothing_eaten;  // the last token eaten
    std::size_t doc_run_ = 0;  // engine grammar: where the doc comments before pos_ begin
    std::uint32_t depth_ = 0;
    Dialect dialect_;
    bool engine_grammar_ = false;
    // No rule recurses with its frame below this address (0: no bound known).
    std::uintptr_t stack_limit_ = 0;
};

// True when `text` equals the lower-case `keyword` with ASCII letters folded.
bool keyword_equals(std::string_view text, std::string_view keyword) noexcept;

}  // namespace dax
