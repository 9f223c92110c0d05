// Payload texts of tokens, read back from the input they were cut from.
#include "dax_parser/token.hpp"

#include "unicode_classes.hpp"
#include "utf8.hpp"

namespace dax {

namespace {

constexpr std::size_t doc_comment_opener = 3;  // `///`

bool is_white_space_at(std::string_view text, std::size_t at, std::size_t& length) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + at;
    const auto d = detail::decode_utf8(p, text.size() - at);
    length = d.length;
    return detail::is_white_space(d.code_point);
}

// `text` without Unicode white space at either end.
std::string_view trim_white_space(std::string_view text) noexcept {
    std::size_t first = 0;
    std::size_t length = 0;
    while (first < text.size() && is_white_space_at(text, first, length)) first += length;
    std::size_t last = text.size();
    while (last > first) {
        std::size_t lead = last - 1;  // step back to the lead byte of the last character
        while (lead > first && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) --lead;
        if (!is_white_space_at(text, lead, length) || lead + length != last) break;
        last = lead;
    }
    return text.substr(first, last - first);
}

}  // namespace

std::string_view Token::text(std::string_view input) const noexcept {
    const std::string_view source = input.substr(span.start, span.end - span.start);
    switch (kind) {
        case TokenKind::Ident:
        case TokenKind::Number:
            return source;
        case TokenKind::Param:
            return source.substr(1);
        case TokenKind::String:
        case TokenKind::QuotedIdent:
        case TokenKind::BracketIdent:
            return source.substr(1, source.size() - 2);
        case TokenKind::DocComment:
            return trim_white_space(source.substr(doc_comment_opener));
        default:
            return {};
    }
}

std::string Token::payload(std::string_view input) const {
    const std::string_view raw = text(input);
    if (!has_doubled_delimiter) return std::string(raw);
    const char closer = kind == TokenKind::BracketIdent ? ']' : kind == TokenKind::QuotedIdent ? '\'' : '"';
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        out += raw[i];
        if (raw[i] == closer) ++i;  // the second of a doubled pair
    }
    return out;
}

}  // namespace dax
