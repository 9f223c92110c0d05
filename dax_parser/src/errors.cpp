// Display texts of the error values, token kind names and token payloads.
#include <array>

#include "dax_parser/errors.hpp"
#include "dax_parser/token.hpp"

namespace dax {

namespace {

constexpr std::array<std::string_view, token_kind_count> token_kind_names = {
#define DAX_NAME_ENTRY(name, spelling) #name,
    DAX_TOKEN_KINDS(DAX_NAME_ENTRY)
#undef DAX_NAME_ENTRY
};

}  // namespace

std::string_view token_kind_name(TokenKind kind) noexcept {
    return token_kind_names[static_cast<std::size_t>(kind)];
}

std::string Token::payload() const {
    if (!has_doubled_delimiter) return std::string(text);
    const char closer = kind == TokenKind::BracketIdent ? ']' : kind == TokenKind::QuotedIdent ? '\'' : '"';
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == closer) ++i;  // the second of a doubled pair
    }
    return out;
}

std::string ParseError::display() const {
    std::string text = message;
    text += " at ";
    text += std::to_string(span.start);
    text += "..";
    text += std::to_string(span.end);
    return text;
}

std::string DaxError::display() const {
    return (kind == Kind::Lex ? "lex error: " : "parse error: ") + error.display();
}

}  // namespace dax
