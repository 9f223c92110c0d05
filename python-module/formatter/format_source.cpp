// Reading a DAX text for the formatter in one pass of the lexer and one of
// the parser: its tree as Python objects, the fingerprints of its tree and
// of its comments (to compare the formatter's result with), and its comments
// with where each stands relative to the code. A result is checked with the
// fingerprints alone: no second tree is built.
#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "dax_parser/dax_parser.hpp"
#include "digest.hpp"
#include "fingerprint.hpp"
#include "format_entries.hpp"
#include "native/json_writer.hpp"
#include "syntax/node_classes.hpp"
#include "syntax/tree_builder.hpp"
#include "syntax_boundary.hpp"
#include "syntax_options.hpp"

namespace dax::python::format {

namespace {

// What a text is read as: the `kind` argument.
enum class TextKind : long { Expression = 0, Query = 1, Function = 2 };

// Set by register_builtins; kept for the life of the process.
fingerprint::Names registered_names;

struct Input {
    std::string_view utf8;
    long options = 0;
    TextKind kind = TextKind::Expression;
};

// Binds (text: str, options: int[, kind: int]).
std::optional<Input> bind(const char* name, PyObject* const* args, Py_ssize_t nargs, bool with_kind) {
    const Py_ssize_t expected = with_kind ? 3 : 2;
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments (%zd given)", name, expected, nargs);
        return std::nullopt;
    }
    if (!PyUnicode_Check(args[0])) {
        PyErr_Format(PyExc_TypeError, "%s() argument 1 must be str", name);
        return std::nullopt;
    }
    Input input;
    input.options = PyLong_AsLong(args[1]);
    if (input.options == -1 && PyErr_Occurred()) return std::nullopt;
    if (with_kind) {
        const long kind = PyLong_AsLong(args[2]);
        if (kind == -1 && PyErr_Occurred()) return std::nullopt;
        if (kind < 0 || kind > 2) {
            PyErr_Format(PyExc_ValueError, "%s(): kind must be 0, 1 or 2", name);
            return std::nullopt;
        }
        input.kind = static_cast<TextKind>(kind);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(args[0], &size);
    if (utf8 == nullptr) return std::nullopt;
    input.utf8 = std::string_view(utf8, static_cast<std::size_t>(size));
    return input;
}

constexpr bool is_code_comment(TokenKind kind) noexcept {
    return kind == TokenKind::LineComment || kind == TokenKind::BlockComment;
}

// A text's tokens: all of them with its comments (empty when it has none),
// and those the parser reads (doc comments are the parser's own tokens).
struct Lexed {
    TokenVector all;
    TokenVector code;
};

Result<Lexed, DaxError> lex(std::string_view text, Dialect dialect) {
    auto lexed = Lexer(text, dialect, true).lex_all();
    if (!lexed) return DaxError::lex(std::move(lexed).error());
    Lexed result;
    TokenVector tokens = std::move(lexed).value();
    bool comments = false;
    bool code_comments = false;
    for (const Token& token : tokens) {
        comments = comments || fingerprint::is_comment(token.kind);
        code_comments = code_comments || is_code_comment(token.kind);
    }
    if (!comments) {
        result.code = std::move(tokens);
        return result;
    }
    result.code.reserve(tokens.size());
    for (const Token& token : tokens)
        if (!is_code_comment(token.kind)) result.code.push_back(token);
    result.all = std::move(tokens);
    return result;
}

using Tree = std::variant<Expr, Query, definition::Function>;

Result<Tree, DaxError> parse(std::string_view text, TokenVector tokens, Dialect dialect, Grammar grammar,
                             TextKind kind) {
    Parser parser(text, std::move(tokens), dialect, grammar);
    switch (kind) {
        case TextKind::Expression: {
            auto result = parser.parse_formula_expression();
            if (!result) return DaxError::parse(std::move(result).error());
            return Tree(std::in_place_index<0>, std::move(result).value());
        }
        case TextKind::Query: {
            auto result = parser.parse_query();
            if (!result) return DaxError::parse(std::move(result).error());
            return Tree(std::in_place_index<1>, std::move(result).value());
        }
        case TextKind::Function:
            break;
    }
    auto result = parser.parse_function_text();
    if (!result) return DaxError::parse(std::move(result).error());
    return Tree(std::in_place_index<2>, std::move(result).value());
}

// A fingerprint: "=" and the document fingerprint.hpp writes, or, where it
// grows past a megabyte, "#" and the SHA-256 digest of all of it ("="
// included), taken as it is written: a large text's tree document is many
// times its size and is never held whole, while a small one is compared
// faster than it is digested. Not to be moved once taken.
struct Fingerprint {
    static constexpr std::size_t kept = std::size_t{1} << 20;

    json::Buffer buffer;
    fingerprint::Sha256 digest;
    std::array<unsigned char, 32> digested{};
    bool large = false;

    template <class Write>
    void take(Write write) {
        buffer.drain_into(&digest, kept);
        buffer.push('=');
        write(buffer);
        if (!buffer.drained()) return;
        buffer.flush();
        digested = digest.finish();
        large = true;
    }
};

// The tree and the comment fingerprints of a parsed text.
struct Fingerprints {
    Fingerprint tree;
    Fingerprint comments;
    fingerprint::NameSet declared;  // the names the text declares, in upper case
};

// Lexes and parses `input`, fingerprints the tree (noting the names it
// declares when `declared`), then runs `before`, which may take the tree
// apart as it reads it. With
// `standard_first`, the standard grammar reads the text if it can, and the
// engine grammar only if it cannot: a text that the exact module reads is
// then held to that module's tree, and its result must be read by it too.
// Returns null with an exception set, the error tuple, or what `finish`
// makes of what `before` made, the tokens, the fingerprints and the options
// the text was read with.
template <class Before, class Finish>
PyObject* read(const Input& input, bool standard_first, bool declared, Before before, Finish finish) {
    const Dialect dialect = dialect_of(input.options);
    long options = input.options;
    auto lexed = without_lock([&] { return lex(input.utf8, dialect); });
    if (!lexed) return error_tuple(lexed.error());
    Lexed tokens = std::move(lexed).value();
    auto parsed = without_lock([&] {
        if (!standard_first)
            return parse(input.utf8, std::move(tokens.code), dialect, grammar_of(options), input.kind);
        options &= ~option_engine_grammar;
        auto standard = parse(input.utf8, std::move(tokens.code), dialect, Grammar::Standard, input.kind);
        if (standard) return standard;
        // Beyond the standard grammar: the tokens again, for the engine's.
        options = input.options;
        tokens = lex(input.utf8, dialect).value();
        return parse(input.utf8, std::move(tokens.code), dialect, Grammar::Engine, input.kind);
    });
    if (!parsed) return error_tuple(parsed.error());
    Tree& tree = parsed.value();
    auto prints = without_lock([&] {
        auto result = std::make_unique<Fingerprints>();
        fingerprint::NameSet* names = declared ? &result->declared : nullptr;
        result->tree.take([&](json::Buffer& out) {
            std::visit(
                [&](auto& t) {
                    using T = std::remove_cvref_t<decltype(t)>;
                    if constexpr (std::is_same_v<T, Expr>)
                        fingerprint::write_expression(out, t, registered_names, names);
                    else if constexpr (std::is_same_v<T, Query>)
                        fingerprint::write_query(out, t, registered_names, names);
                    else fingerprint::write_function(out, t, registered_names, names);
                },
                tree);
        });
        result->comments.take([&](json::Buffer& out) { fingerprint::write_comments(out, tokens.all, input.utf8); });
        return result;
    });
    Ref made(before(tree));
    if (PyErr_Occurred()) return nullptr;
    return finish(std::move(made), tokens.all, *prints, options);
}

PyObject* bytes_of(const Fingerprint& print) {
    if (!print.large) {
        const std::string_view document = print.buffer.view();
        return PyBytes_FromStringAndSize(document.data(), static_cast<Py_ssize_t>(document.size()));
    }
    std::array<char, 33> bytes{'#'};
    for (std::size_t i = 0; i < print.digested.size(); ++i) bytes[i + 1] = static_cast<char>(print.digested[i]);
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// Whether code follows the block comment at `index` on its line, with
// nothing but block comments between.
bool code_follows(const TokenVector& tokens, std::size_t count, std::size_t index, std::string_view text) noexcept {
    std::size_t end = tokens[index].span.end;
    for (std::size_t next = index + 1; next < count; ++next) {
        const Token& token = tokens[next];
        if (text.substr(end, token.span.start - end).find('\n') != std::string_view::npos) return false;
        if (!fingerprint::is_comment(token.kind)) return true;
        if (token.kind != TokenKind::BlockComment) return false;
        end = token.span.end;
    }
    return false;
}

// The start offsets of the code tokens (bytes of native 64-bit integers)
// and the comments as (text, start, place, runs to the line end, an empty
// line before it) of `tokens`, comments kept and Eof last; two new
// references, or false with an exception set.
bool scan_comments(const TokenVector& tokens, std::string_view text, Ref& starts, Ref& comments) {
    const std::size_t count = tokens.empty() ? 0 : tokens.size() - 1;
    std::vector<std::int64_t> code;
    code.reserve(count);
    comments.reset(PyList_New(0));
    if (!comments) return false;
    for (std::size_t i = 0; i < count; ++i) {
        const Token& token = tokens[i];
        if (!fingerprint::is_comment(token.kind)) {
            code.push_back(static_cast<std::int64_t>(token.span.start));
            continue;
        }
        const std::size_t gap_start = i == 0 ? 0 : tokens[i - 1].span.end;
        std::size_t breaks = 0;
        for (std::size_t p = gap_start; p < token.span.start; ++p) breaks += text[p] == '\n';
        const bool block = token.kind == TokenKind::BlockComment;
        long place = comment_own;
        if (block && code_follows(tokens, count, i, text)) place = comment_inline;
        else if (i > 0 && breaks == 0) place = comment_trail;
        const std::string_view kept = fingerprint::comment_text(token, text);
        Ref item(Py_BuildValue("(s#nlOO)", kept.data(), static_cast<Py_ssize_t>(kept.size()),
                               static_cast<Py_ssize_t>(token.span.start), place, block ? Py_False : Py_True,
                               i > 0 && breaks >= 2 ? Py_True : Py_False));
        if (!item || PyList_Append(comments.get(), item.get()) < 0) return false;
    }
    starts.reset(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(code.data()),
                                           static_cast<Py_ssize_t>(code.size() * sizeof(std::int64_t))));
    return static_cast<bool>(starts);
}

PyObject* none() { Py_RETURN_NONE; }

}  // namespace

const fingerprint::NameSet& builtin_names() noexcept { return registered_names.builtins; }

const fingerprint::Names& formatter_names() noexcept { return registered_names; }

namespace {

// The str items of `iterable`, as they are.
bool read_names(PyObject* iterable, fingerprint::NameSet& names) {
    Ref iterator(PyObject_GetIter(iterable));
    if (!iterator) return false;
    while (Ref name{PyIter_Next(iterator.get())}) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (utf8 == nullptr) return false;
        names.emplace(utf8, static_cast<std::size_t>(size));
    }
    return !PyErr_Occurred();
}

}  // namespace

PyObject* register_builtins(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "register_builtins() takes (names, keywords)");
            return nullptr;
        }
        fingerprint::Names names;
        if (!read_names(args[0], names.builtins) || !read_names(args[1], names.keywords)) return nullptr;
        for (const std::string& keyword : names.keywords) names.longest_keyword = std::max(names.longest_keyword, keyword.size());
        registered_names = std::move(names);
        Py_RETURN_NONE;
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* format_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        if (!classes_registered()) {
            PyErr_SetString(PyExc_RuntimeError, "quarrow_dax.syntax has not registered its classes");
            return nullptr;
        }
        const std::optional<Input> input = bind("format_parse", args, nargs, true);
        if (!input) return nullptr;
        Ref source(PyBytes_FromStringAndSize(input->utf8.data(), static_cast<Py_ssize_t>(input->utf8.size())));
        if (!source) return nullptr;
        // The exact module reads expressions and queries, comma convention only.
        const bool standard_first = (input->options & option_engine_grammar) != 0 &&
                                    (input->options & option_semicolon_lists) == 0 &&
                                    input->kind != TextKind::Function;
        return read(
            *input, standard_first, true,
            [&](const Tree& tree) -> PyObject* {
                TreeBuilder builder(source.get(), true);  // the tree is not needed after
                return std::visit(
                    [&](const auto& t) -> PyObject* {
                        using T = std::remove_cvref_t<decltype(t)>;
                        if constexpr (std::is_same_v<T, Expr>) return builder.expr(t);
                        else if constexpr (std::is_same_v<T, Query>) return builder.query(t);
                        else return builder.function(t, "");
                    },
                    tree);
            },
            [&](Ref made, const TokenVector& all, const Fingerprints& prints, long options) -> PyObject* {
                Ref tree_print(bytes_of(prints.tree));
                Ref comment_print(bytes_of(prints.comments));
                if (!tree_print || !comment_print) return nullptr;
                Ref starts;
                Ref comments;
                if (all.empty()) {
                    starts.reset(none());
                    comments.reset(none());
                } else if (!scan_comments(all, input->utf8, starts, comments)) {
                    return nullptr;
                }
                Ref read_with(PyLong_FromLong(options));
                Ref declared(PyFrozenSet_New(nullptr));
                if (!read_with || !declared) return nullptr;
                for (const std::string& name : prints.declared) {
                    Ref item(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
                    if (!item || PySet_Add(declared.get(), item.get()) < 0) return nullptr;
                }
                return PyTuple_Pack(8, made.get(), source.get(), tree_print.get(), comment_print.get(), starts.get(),
                                    comments.get(), read_with.get(), declared.get());
            });
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* format_fingerprint(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        const std::optional<Input> input = bind("format_fingerprint", args, nargs, true);
        if (!input) return nullptr;
        return read(
            *input, false, false, [](const Tree&) -> PyObject* { return nullptr; },
            [](Ref, const TokenVector&, const Fingerprints& prints, long) -> PyObject* {
                Ref tree_print(bytes_of(prints.tree));
                Ref comment_print(bytes_of(prints.comments));
                if (!tree_print || !comment_print) return nullptr;
                return PyTuple_Pack(2, tree_print.get(), comment_print.get());
            });
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

PyObject* source_comments(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    try {
        const std::optional<Input> input = bind("source_comments", args, nargs, false);
        if (!input) return nullptr;
        const Dialect dialect = dialect_of(input->options);
        auto lexed = without_lock([&] { return Lexer(input->utf8, dialect, true).lex_all(); });
        if (!lexed) return error_tuple(DaxError::lex(std::move(lexed).error()));
        Ref starts;
        Ref comments;
        if (!scan_comments(lexed.value(), input->utf8, starts, comments)) return nullptr;
        return PyTuple_Pack(2, starts.get(), comments.get());
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace dax::python::format
