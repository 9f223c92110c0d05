// Display texts of the error values, and the names of the token kinds.
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
