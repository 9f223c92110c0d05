// Switches that select a variant of the DAX surface syntax.
// The lexer reads the four comment/number flags; the parser reads only the first.
#pragma once

namespace dax {

struct Dialect {
    // A semicolon may stand wherever a comma separates list items.
    bool semicolon_list_separator = true;
    // `1,5` is one number (comma as decimal separator).
    bool comma_decimal_separator = false;
    // `--` starts a line comment.
    bool dash_line_comments = true;
    // `//` starts a line comment and `///` a doc comment.
    bool slash_comments = true;
    // `/* ... */` is a comment.
    bool block_comments = true;
};

// The dialect of every entry that takes none.
inline constexpr Dialect default_dialect{};

// Which forms the parser accepts. The engine grammar is the standard one plus
// the forms the DAX engine documents beyond it: omitted arguments, `dt"..."`
// literals, parameter defaults, `( a, b ) IN table`, the axes `ROWS COLUMNS`,
// WITH VISUAL SHAPE, and `///` lines as plain comments where no definition
// follows them.
enum class Grammar : unsigned char { Standard, Engine };

}  // namespace dax
