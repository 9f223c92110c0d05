// A tree's structural fingerprint: the bytes that two trees share exactly
// when they have the same structure and spelling, whatever their positions.
// The formatter compares the fingerprint of its input with that of its
// result before it hands the result out. Free of Python, like the JSON
// writer it builds on.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

#include "dax_parser/expr.hpp"
#include "dax_parser/query.hpp"
#include "dax_parser/token.hpp"
#include "native/json_writer.hpp"

namespace dax::fingerprint {

// Names in upper case.
using NameSet = std::unordered_set<std::string>;

// The names the formatter writes in upper case: built-in function names, and
// the keywords that built-in functions take as arguments (`DESC`, `DAY`).
struct Names {
    NameSet builtins;
    NameSet keywords;
    std::size_t longest_keyword = 0;  // the length of the longest keyword
};

// The upper-case spelling of an ASCII `name` when it is a built-in function
// name written in another case, else empty: the formatter writes such names
// in upper case and DAX reads them without regard to case.
std::string builtin_upper(std::string_view name, const NameSet& builtins);

// Whether `name`, in any case, is a built-in function name.
bool is_builtin(std::string_view name, const NameSet& builtins);

// The keyword `name` spells in any case (an element of `names.keywords`), or null.
const std::string* keyword_upper(std::string_view name, const Names& names);

// Each writer first puts the names that the formatter may print in another
// case in upper case, in place, and back as they were when it is done
// (built-in function names as builtin_upper
// gives them, a bare name among a built-in function's arguments that is one
// of its keywords, the words of an Axis, a visual axis's ROWS or COLUMNS), then
// appends the fingerprint to `out`; the names the tree declares (variables,
// parameters, a DEFINE block's tables), in upper case, go to `declared`
// unless it is null. For a tree of the standard grammar the
// fingerprint is exactly the module's JSON of the tree so normalised; the
// forms only the engine grammar reads that the JSON leaves out (parameter
// defaults, visual shapes) follow it. Every walk is iterative.
void write_expression(json::Buffer& out, Expr& expr, const Names& names, NameSet* declared = nullptr);
void write_query(json::Buffer& out, Query& query, const Names& names, NameSet* declared = nullptr);
// A model's function, `(parameters) => body`.
void write_function(json::Buffer& out, definition::Function& function, const Names& names,
                    NameSet* declared = nullptr);

// The text a comment token keeps when the formatter prints it again: a block
// comment as it is, a line or doc comment without the white space at its end
// (as Python's str.rstrip() removes it, a CRLF file's carriage return
// included).
std::string_view comment_text(const Token& token, std::string_view input) noexcept;

// Appends each comment text of `tokens` (cut from `input`, comments kept),
// in order, each as its length in bytes, ':' and the text.
void write_comments(json::Buffer& out, const TokenVector& tokens, std::string_view input);

constexpr bool is_comment(TokenKind kind) noexcept {
    return kind == TokenKind::LineComment || kind == TokenKind::BlockComment || kind == TokenKind::DocComment;
}

}  // namespace dax::fingerprint
