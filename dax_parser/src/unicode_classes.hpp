// Unicode character classes the lexer needs. ASCII is answered by a small
// table; other code points by the generated range tables (unicode_tables.inc).
#pragma once

namespace dax::detail {

// The White_Space property.
bool is_white_space(char32_t c) noexcept;
// The derived Alphabetic property.
bool is_alphabetic(char32_t c) noexcept;
// General category Nd, Nl or No (the ASCII digits included).
bool is_numeric(char32_t c) noexcept;
// The Grapheme_Extend property (combining marks and the like).
bool is_grapheme_extend(char32_t c) noexcept;
// False for general categories Cc, Cf, Cs, Co, Cn, Zl, Zp and for Zs other
// than U+0020; true for everything else.
bool is_printable(char32_t c) noexcept;

}  // namespace dax::detail
