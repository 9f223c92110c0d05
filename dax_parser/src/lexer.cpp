// The lexer: one forward pass that cuts UTF-8 source text into tokens.
// ASCII is classified by a table; other characters by the Unicode tables.
#include "dax_parser/lexer.hpp"

#include <array>
#include <cstring>

#include "unicode_classes.hpp"
#include "utf8.hpp"

namespace dax {

namespace {

using detail::decode_utf8;

enum AsciiClass : std::uint8_t {
    white_space = 1,
    ident_start = 2,     // letters and `_`
    ident_continue = 4,  // letters, digits, `_` and `.`
    param_continue = 8,  // letters, digits and `_`
    ascii_digit = 16,
};

// Indexed by any byte; bytes from 0x80 up belong to no class, so the hot
// loops need no separate ASCII test before the lookup.
constexpr std::array<std::uint8_t, 256> ascii_classes = [] {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0x09; c <= 0x0D; ++c) t[c] |= white_space;
    t[' '] |= white_space;
    for (int c = 'a'; c <= 'z'; ++c) t[c] |= ident_start | ident_continue | param_continue;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] |= ident_start | ident_continue | param_continue;
    for (int c = '0'; c <= '9'; ++c) t[c] |= ident_continue | param_continue | ascii_digit;
    t['_'] |= ident_start | ident_continue | param_continue;
    t['.'] |= ident_continue;
    return t;
}();

constexpr bool is_ascii(unsigned char b) noexcept { return b < 0x80; }
constexpr bool has_class(unsigned char b, AsciiClass c) noexcept { return ascii_classes[b] & c; }
constexpr bool is_digit(unsigned char b) noexcept { return b >= '0' && b <= '9'; }

// Tokens of one punctuation character; Eof marks "not punctuation".
constexpr std::array<TokenKind, 128> single_char_tokens = [] {
    std::array<TokenKind, 128> t{};
    t.fill(TokenKind::Eof);
    t['('] = TokenKind::LParen;
    t[')'] = TokenKind::RParen;
    t['{'] = TokenKind::LBrace;
    t['}'] = TokenKind::RBrace;
    t[','] = TokenKind::Comma;
    t[';'] = TokenKind::Semicolon;
    t[':'] = TokenKind::Colon;
    t['+'] = TokenKind::Plus;
    t['-'] = TokenKind::Minus;
    t['*'] = TokenKind::Star;
    t['/'] = TokenKind::Slash;
    t['^'] = TokenKind::Caret;
    t['&'] = TokenKind::Amp;
    t['='] = TokenKind::Eq;
    t['<'] = TokenKind::Lt;
    t['>'] = TokenKind::Gt;
    return t;
}();

void append_hex_escape(std::string& out, char32_t c) {
    static constexpr char digits[] = "0123456789abcdef";
    char buf[8];
    int n = 0;
    do {
        buf[n++] = digits[c & 0xF];
        c >>= 4;
    } while (c != 0);
    out += "\\u{";
    while (n > 0) out += buf[--n];
    out += '}';
}

// "unexpected character: 'x'", with invisible and combining characters
// spelled as escapes so that the message can be read.
std::string unexpected_character_message(std::string_view source_char, char32_t c) {
    std::string message = "unexpected character: '";
    if (c == 0) {
        message += "\\0";
    } else if (c == '\\') {
        message += "\\\\";
    } else if (detail::is_grapheme_extend(c) || !detail::is_printable(c)) {
        append_hex_escape(message, c);
    } else {
        message += source_char;
    }
    message += '\'';
    return message;
}

}  // namespace

std::optional<char32_t> Lexer::bump_char() noexcept {
    if (pos_ >= input_.size()) return std::nullopt;
    const auto* p = reinterpret_cast<const unsigned char*>(input_.data()) + pos_;
    const auto d = decode_utf8(p, input_.size() - pos_);
    pos_ += d.length;
    return d.code_point;
}

void Lexer::skip_white_space() noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(input_.data());
    const std::size_t n = input_.size();
    for (;;) {
        while (pos_ < n && has_class(s[pos_], white_space)) ++pos_;
        if (pos_ == n || is_ascii(s[pos_])) return;
        const auto d = decode_utf8(s + pos_, n - pos_);
        if (!detail::is_white_space(d.code_point)) return;
        pos_ += d.length;
    }
}

void Lexer::skip_line_comment(TokenVector& tokens, std::size_t start) {
    const void* lf = std::memchr(input_.data() + pos_, '\n', input_.size() - pos_);
    const std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - input_.data()) : input_.size();
    if (keep_comments_) tokens.push_back(Token{TokenKind::LineComment, false, {start, end}});
    pos_ = lf ? end + 1 : end;
}

std::optional<ParseError> Lexer::skip_block_comment(std::size_t start) noexcept {
    // The `*` of the opener never counts toward the closer: `/*/` is open.
    const std::size_t n = input_.size();
    for (std::size_t i = start + 2; i + 1 < n; ++i) {
        const void* star = std::memchr(input_.data() + i, '*', n - 1 - i);
        if (!star) break;
        i = static_cast<std::size_t>(static_cast<const char*>(star) - input_.data());
        if (input_[i + 1] == '/') {
            pos_ = i + 2;
            return std::nullopt;
        }
    }
    pos_ = n;
    return ParseError{"unterminated block comment", {start, n}};
}

std::size_t Lexer::lex_ident() noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(input_.data());
    const std::size_t n = input_.size();
    bump_char();  // the first character was checked by the caller
    for (;;) {
        while (pos_ < n && has_class(s[pos_], ident_continue)) ++pos_;
        if (pos_ == n || is_ascii(s[pos_])) return pos_;
        const auto d = decode_utf8(s + pos_, n - pos_);
        if (!detail::is_alphabetic(d.code_point) && !detail::is_numeric(d.code_point)) return pos_;
        pos_ += d.length;
    }
}

void Lexer::lex_number() noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(input_.data());
    const std::size_t n = input_.size();
    const auto digit_at = [&](std::size_t i) { return i < n && is_digit(s[i]); };
    const auto skip_digits = [&] {
        while (digit_at(pos_)) ++pos_;
    };

    skip_digits();
    if (pos_ < n) {
        const unsigned char c = s[pos_];
        const bool decimal_separator = c == '.' || (c == ',' && dialect_.comma_decimal_separator);
        if (decimal_separator && digit_at(pos_ + 1)) {
            ++pos_;
            skip_digits();
        }
    }
    // An exponent needs at least one digit; otherwise `e` and its sign are
    // given back to be lexed afresh.
    const std::size_t mark = pos_;
    if (pos_ < n && (s[pos_] == 'e' || s[pos_] == 'E')) {
        ++pos_;
        if (pos_ < n && (s[pos_] == '+' || s[pos_] == '-')) ++pos_;
        if (digit_at(pos_)) {
            skip_digits();
            return;
        }
    }
    pos_ = mark;
}

std::optional<ParseError> Lexer::lex_delimited(char closer, TokenKind kind, Token& token) {
    const std::size_t start = pos_;
    const std::size_t n = input_.size();
    ++pos_;  // the opener
    // The closer is ASCII, so it can be searched for byte-wise: no byte of a
    // multi-byte UTF-8 character equals it.
    for (;;) {
        const void* found = std::memchr(input_.data() + pos_, closer, n - pos_);
        if (!found) {
            pos_ = n;
            const char* message = kind == TokenKind::String        ? "unterminated string literal"
                                  : kind == TokenKind::QuotedIdent ? "unterminated quoted identifier"
                                                                   : "unterminated bracket identifier";
            return ParseError{message, {start, n}};
        }
        const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - input_.data());
        if (at + 1 < n && input_[at + 1] == closer) {
            token.has_doubled_delimiter = true;
            pos_ = at + 2;
            continue;
        }
        pos_ = at + 1;
        return std::nullopt;
    }
}

void Lexer::lex_doc_comment() noexcept {
    // The text runs to the line feed, which stays for the main loop to skip;
    // the payload (trimmed of white space) is read from the span when needed.
    const void* lf = std::memchr(input_.data() + pos_, '\n', input_.size() - pos_);
    pos_ = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - input_.data()) : input_.size();
}

Result<TokenVector> Lexer::lex_all() {
    const auto* s = reinterpret_cast<const unsigned char*>(input_.data());
    const std::size_t n = input_.size();
    TokenVector tokens;
    // Real DAX averages about one token per five bytes, so one token per
    // eight bytes reserved spares most regrowth copies. The reservation is
    // address space rather than memory (pages never written are never
    // touched), but the kernel refuses a mapping far larger than the machine,
    // so it stays at three bytes per input byte; dense input grows from there.
    tokens.reserve(n / 8 + 16);

    for (;;) {
        skip_white_space();
        const std::size_t start = pos_;
        if (start == n) {
            tokens.push_back(Token{TokenKind::Eof, false, {n, n}});
            return tokens;
        }
        const unsigned char b0 = s[start];
        // Names are the most common tokens, and no other form starts with a
        // letter or `_`, so they are tested first.
        if (has_class(b0, ident_start)) {
            lex_ident();
            tokens.push_back(Token{TokenKind::Ident, false, {start, pos_}});
            continue;
        }
        const bool has_b1 = start + 1 < n;
        const unsigned char b1 = has_b1 ? s[start + 1] : 0;

        if (dialect_.slash_comments && b0 == '/' && b1 == '/' && start + 2 < n && s[start + 2] == '/') {
            lex_doc_comment();
            tokens.push_back(Token{TokenKind::DocComment, false, {start, pos_}});
            continue;
        }

        if (has_b1) {
            TokenKind two_char = TokenKind::Eof;
            switch (b0) {
                case '&':
                    if (b1 == '&') two_char = TokenKind::AndAnd;
                    break;
                case '-':
                    if (b1 == '-' && dialect_.dash_line_comments) {
                        skip_line_comment(tokens, start);
                        continue;
                    }
                    break;
                case '/':
                    if (b1 == '*' && dialect_.block_comments) {
                        if (auto error = skip_block_comment(start)) return std::move(*error);
                        if (keep_comments_) tokens.push_back(Token{TokenKind::BlockComment, false, {start, pos_}});
                        continue;
                    }
                    if (b1 == '/' && dialect_.slash_comments) {
                        skip_line_comment(tokens, start);
                        continue;
                    }
                    break;
                case '<':
                    if (b1 == '=') two_char = TokenKind::Lte;
                    else if (b1 == '>') two_char = TokenKind::Neq;
                    break;
                case '=':
                    if (b1 == '=') two_char = TokenKind::EqEq;
                    else if (b1 == '>') two_char = TokenKind::Arrow;
                    break;
                case '>':
                    if (b1 == '=') two_char = TokenKind::Gte;
                    break;
                case '|':
                    if (b1 == '|') two_char = TokenKind::OrOr;
                    break;
                default:
                    break;
            }
            if (two_char != TokenKind::Eof) {
                pos_ = start + 2;
                tokens.push_back(Token{two_char, false, {start, pos_}});
                continue;
            }
        }

        if (is_ascii(b0)) {
            const TokenKind punctuation = single_char_tokens[b0];
            if (punctuation != TokenKind::Eof) {
                pos_ = start + 1;
                tokens.push_back(Token{punctuation, false, {start, pos_}});
                continue;
            }
            switch (b0) {
                case '"':
                case '\'':
                case '[': {
                    const TokenKind kind = b0 == '"'    ? TokenKind::String
                                           : b0 == '\'' ? TokenKind::QuotedIdent
                                                        : TokenKind::BracketIdent;
                    const char closer = b0 == '[' ? ']' : static_cast<char>(b0);
                    Token token{kind, false, {}};
                    if (auto error = lex_delimited(closer, kind, token)) return std::move(*error);
                    token.span = {start, pos_};
                    tokens.push_back(token);
                    continue;
                }
                case '@': {
                    ++pos_;
                    while (pos_ < n) {
                        if (is_ascii(s[pos_])) {
                            if (!(ascii_classes[s[pos_]] & param_continue)) break;
                            ++pos_;
                            continue;
                        }
                        const auto d = decode_utf8(s + pos_, n - pos_);
                        if (!detail::is_alphabetic(d.code_point) && !detail::is_numeric(d.code_point)) break;
                        pos_ += d.length;
                    }
                    if (pos_ == start + 1) return ParseError{"expected parameter name after '@'", {start, start + 1}};
                    tokens.push_back(Token{TokenKind::Param, false, {start, pos_}});
                    continue;
                }
                case '.':
                    if (!(has_b1 && is_digit(b1))) {
                        pos_ = start + 1;
                        tokens.push_back(Token{TokenKind::Dot, false, {start, pos_}});
                        continue;
                    }
                    [[fallthrough]];
                case '0': case '1': case '2': case '3': case '4':
                case '5': case '6': case '7': case '8': case '9':
                    lex_number();
                    tokens.push_back(Token{TokenKind::Number, false, {start, pos_}});
                    continue;
                default:
                    break;
            }
            return ParseError{unexpected_character_message(input_.substr(start, 1), b0), {start, start + 1}};
        }

        const auto d = decode_utf8(s + start, n - start);
        if (detail::is_alphabetic(d.code_point)) {
            lex_ident();
            tokens.push_back(Token{TokenKind::Ident, false, {start, pos_}});
            continue;
        }
        return ParseError{unexpected_character_message(input_.substr(start, d.length), d.code_point),
                          {start, start + d.length}};
    }
}

Result<TokenVector, DaxError> lex_with_dialect(std::string_view input, Dialect dialect) {
    auto tokens = Lexer(input, dialect).lex_all();
    if (!tokens) return DaxError::lex(std::move(tokens).error());
    return std::move(tokens).value();
}

Result<TokenVector, DaxError> lex(std::string_view input) { return lex_with_dialect(input, default_dialect); }

}  // namespace dax
