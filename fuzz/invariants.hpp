// Checks shared by the fuzz targets: what must hold for the result of every
// entry on every valid UTF-8 input, whatever the input means. A broken check
// traps, so that libFuzzer (or the replay driver) stops with the input saved.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "dax_parser/dax_parser.hpp"
#include "native/json_writer.hpp"

namespace dax_fuzz {

// Larger inputs only slow the search down; the library has no size limit,
// and the stress tests cover large inputs.
inline constexpr std::size_t max_input_size = 64 * 1024;

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz invariant broken: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    __builtin_trap();
}

#define DAX_FUZZ_CHECK(condition) \
    do {                          \
        if (!(condition)) ::dax_fuzz::fail(#condition, __FILE__, __LINE__); \
    } while (0)

// --- UTF-8 ----------------------------------------------------------------

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool valid_utf8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char b = s[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            if (b == 0xE0) low = 0xA0;       // overlong
            else if (b == 0xED) high = 0x9F;  // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            if (b == 0xF0) low = 0x90;       // overlong
            else if (b == 0xF4) high = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (n - i < length) return false;
        if (s[i + 1] < low || s[i + 1] > high) return false;
        for (std::size_t k = 2; k < length; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

// True when `offset` starts a character of `text` or is its end.
inline bool on_char_boundary(std::string_view text, std::size_t offset) {
    if (offset > text.size()) return false;
    return offset == text.size() || (static_cast<unsigned char>(text[offset]) & 0xC0) != 0x80;
}

// --- JSON -----------------------------------------------------------------

// A strict JSON check that also rejects white space outside strings, since
// the writer promises compact text. Iterative: results nest as deeply as the
// parser admits and a left-leaning chain nests as deep as it is long.
class JsonChecker {
public:
    explicit JsonChecker(std::string_view text) : s_(text) {}

    bool valid() {
        // What the next byte must start: a value, or what follows a value.
        for (;;) {
            if (!value()) return false;
            for (;;) {
                if (stack_.empty()) return i_ == s_.size();
                if (i_ >= s_.size()) return false;
                const char c = s_[i_++];
                if (stack_.back() == '[') {
                    if (c == ']') {
                        stack_.pop_back();
                        continue;
                    }
                    if (c != ',') return false;
                } else {
                    if (c == '}') {
                        stack_.pop_back();
                        continue;
                    }
                    if (c != ',' || !key()) return false;
                }
                break;  // a value follows
            }
        }
    }

private:
    // Reads one value. An opened container is pushed and left open (false
    // return means an error); an empty container is closed at once.
    bool value() {
        for (;;) {
            if (i_ >= s_.size()) return false;
            const char c = s_[i_];
            if (c == '[') {
                ++i_;
                if (i_ < s_.size() && s_[i_] == ']') {
                    ++i_;
                    return true;
                }
                stack_.push_back('[');
                continue;  // its first element
            }
            if (c == '{') {
                ++i_;
                if (i_ < s_.size() && s_[i_] == '}') {
                    ++i_;
                    return true;
                }
                stack_.push_back('{');
                if (!key()) return false;
                continue;  // the member's value
            }
            if (c == '"') return string();
            if (c == '-' || (c >= '0' && c <= '9')) return number();
            return literal("true") || literal("false") || literal("null");
        }
    }

    // A member name and its colon.
    bool key() {
        if (i_ >= s_.size() || s_[i_] != '"' || !string()) return false;
        if (i_ >= s_.size() || s_[i_] != ':') return false;
        ++i_;
        return true;
    }

    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }

    bool digits() {
        const std::size_t start = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        return i_ > start;
    }

    bool number() {
        if (s_[i_] == '-') ++i_;
        if (i_ < s_.size() && s_[i_] == '0') {
            ++i_;
        } else if (!digits()) {
            return false;
        }
        if (i_ < s_.size() && s_[i_] == '.') {
            ++i_;
            if (!digits()) return false;
        }
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
            if (!digits()) return false;
        }
        return true;
    }

    // Four hex digits after `\u`, as a code unit, or -1.
    long hex4() {
        if (s_.size() - i_ < 4) return -1;
        long v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= c - '0';
            else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
            else return -1;
        }
        return v;
    }

    // Raw bytes of 0x80 and above are left to the UTF-8 check of the whole
    // text; here only the JSON rules apply.
    bool string() {
        ++i_;  // the opening quote
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (i_ >= s_.size()) return false;
            const char e = s_[i_++];
            if (e == 'u') {
                const long unit = hex4();
                if (unit < 0) return false;
                if (unit >= 0xDC00 && unit <= 0xDFFF) return false;  // a lone low surrogate
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    if (s_.size() - i_ < 2 || s_[i_] != '\\' || s_[i_ + 1] != 'u') return false;
                    i_ += 2;
                    const long low = hex4();
                    if (low < 0xDC00 || low > 0xDFFF) return false;
                }
            } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    }

    std::string_view s_;
    std::size_t i_ = 0;
    std::vector<char> stack_;
};

inline void check_json(std::string_view json) {
    DAX_FUZZ_CHECK(valid_utf8(json));
    DAX_FUZZ_CHECK(JsonChecker(json).valid());
}

// --- tokens and errors ----------------------------------------------------

inline std::string_view punctuation_spelling(dax::TokenKind kind) {
    static constexpr std::string_view spellings[] = {
#define DAX_FUZZ_SPELLING(name, spelling) spelling,
        DAX_TOKEN_KINDS(DAX_FUZZ_SPELLING)
#undef DAX_FUZZ_SPELLING
    };
    return spellings[static_cast<std::size_t>(kind)];
}

// `text` with each doubled `closer` reduced to one.
inline std::string undouble(std::string_view text, char closer) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == closer && i + 1 < text.size() && text[i + 1] == closer) ++i;
    }
    return out;
}

inline void check_tokens(std::string_view input, const dax::TokenVector& tokens) {
    using dax::TokenKind;
    const std::size_t n = input.size();
    DAX_FUZZ_CHECK(!tokens.empty());
    const dax::Token& last = tokens.back();
    DAX_FUZZ_CHECK(last.kind == TokenKind::Eof && last.span.start == n && last.span.end == n);

    std::size_t previous_end = 0;
    for (std::size_t k = 0; k + 1 < tokens.size(); ++k) {
        const dax::Token& t = tokens[k];
        DAX_FUZZ_CHECK(t.kind != TokenKind::Eof);
        DAX_FUZZ_CHECK(previous_end <= t.span.start && t.span.start < t.span.end && t.span.end <= n);
        DAX_FUZZ_CHECK(on_char_boundary(input, t.span.start) && on_char_boundary(input, t.span.end));
        previous_end = t.span.end;

        const std::string_view source = input.substr(t.span.start, t.span.end - t.span.start);
        if (!dax::has_payload(t.kind)) {
            DAX_FUZZ_CHECK(source == punctuation_spelling(t.kind));
            DAX_FUZZ_CHECK(!t.has_doubled_delimiter);
            continue;
        }
        // The payload must be a view into this token's own source text.
        const std::string_view text = t.text(input);
        DAX_FUZZ_CHECK(text.data() >= source.data() && text.data() + text.size() <= source.data() + source.size());
        switch (t.kind) {
            case TokenKind::Ident:
            case TokenKind::Number:
                DAX_FUZZ_CHECK(text == source);
                break;
            case TokenKind::Param:
                DAX_FUZZ_CHECK(source[0] == '@' && text == source.substr(1));
                break;
            case TokenKind::DocComment:
                DAX_FUZZ_CHECK(source.substr(0, 3) == "///");
                DAX_FUZZ_CHECK(t.payload(input) == text);
                break;
            case TokenKind::String:
            case TokenKind::QuotedIdent:
            case TokenKind::BracketIdent: {
                const char opener = t.kind == TokenKind::String ? '"' : t.kind == TokenKind::QuotedIdent ? '\'' : '[';
                const char closer = opener == '[' ? ']' : opener;
                DAX_FUZZ_CHECK(source.size() >= 2 && source.front() == opener && source.back() == closer);
                DAX_FUZZ_CHECK(text == source.substr(1, source.size() - 2));
                const bool doubled = text.find(std::string{closer, closer}) != std::string_view::npos;
                DAX_FUZZ_CHECK(t.has_doubled_delimiter == doubled);
                DAX_FUZZ_CHECK(t.payload(input) == undouble(text, closer));
                break;
            }
            default:
                fail("payload kind not handled", __FILE__, __LINE__);
        }
    }
}

inline void check_error(std::string_view input, const dax::DaxError& error) {
    const dax::Span span = error.error.span;
    DAX_FUZZ_CHECK(span.start <= span.end && span.end <= input.size());
    DAX_FUZZ_CHECK(on_char_boundary(input, span.start) && on_char_boundary(input, span.end));
    // The Python module hands the text over as a str, which needs UTF-8.
    const std::string display = error.display();
    DAX_FUZZ_CHECK(valid_utf8(display));
    const std::string tail = " at " + std::to_string(span.start) + ".." + std::to_string(span.end);
    DAX_FUZZ_CHECK(display.size() > tail.size() && display.ends_with(tail));
    const std::string_view prefix = error.kind == dax::DaxError::Kind::Lex ? "lex error: " : "parse error: ";
    DAX_FUZZ_CHECK(display.starts_with(prefix));
}

// --- spans of trees ----------------------------------------------------------

// Checks the spans of a parsed tree against the tokens of its input: every
// span starts where a token starts and ends where one ends, lies inside its
// parent's, and the children of a node follow each other without overlap.
class SpanChecker {
public:
    SpanChecker(std::string_view input, dax::Dialect dialect) {
        auto tokens = dax::lex_with_dialect(input, dialect);
        DAX_FUZZ_CHECK(tokens.ok());
        for (const dax::Token& t : tokens.value()) {
            if (t.kind == dax::TokenKind::Eof) break;
            starts_.push_back(t.span.start);
            ends_.push_back(t.span.end);
        }
    }

    // `span` is a run of whole tokens inside [lo, hi).
    void check_span(dax::Span span, std::size_t lo, std::size_t hi) const {
        DAX_FUZZ_CHECK(lo <= span.start && span.start < span.end && span.end <= hi);
        DAX_FUZZ_CHECK(std::binary_search(starts_.begin(), starts_.end(), span.start));
        DAX_FUZZ_CHECK(std::binary_search(ends_.begin(), ends_.end(), span.end));
    }

    // A whole expression tree inside [lo, hi), walked with a work list.
    void check_expr(const dax::Expr& root, std::size_t lo, std::size_t hi) const {
        struct Item {
            const dax::Expr* expr;
            std::size_t lo, hi;
        };
        std::vector<Item> work{{&root, lo, hi}};
        while (!work.empty()) {
            const Item item = work.back();
            work.pop_back();
            const dax::Expr& e = *item.expr;
            if (e.as<dax::node::Omitted>()) {  // no tokens: an empty span between its neighbours
                DAX_FUZZ_CHECK(item.lo <= e.span.start && e.span.start == e.span.end && e.span.end <= item.hi);
                continue;
            }
            check_span(e.span, item.lo, item.hi);
            if (const auto* block = e.as<dax::node::VarBlock>()) {
                std::size_t previous = e.span.start;
                for (const dax::VarDecl& decl : block->decls) {
                    check_span(decl.span, previous, e.span.end);
                    previous = decl.span.end;
                }
            }
            std::size_t previous = e.span.start;
            dax::for_each_child(e, [&](const dax::Expr& child) {
                DAX_FUZZ_CHECK(previous <= child.span.start);
                previous = child.span.end;
                work.push_back({&child, e.span.start, e.span.end});
            });
        }
    }

    void check_query(const dax::Query& query, std::size_t n) const {
        check_span(query.span, 0, n);
        std::size_t previous = query.span.start;
        const auto next = [&](dax::Span span) {
            check_span(span, previous, query.span.end);
            previous = span.end;
        };
        if (query.define) {
            next(query.define->span);
            std::size_t inner = query.define->span.start;
            for (const dax::Definition& definition : query.define->defs) {
                std::visit([&](const auto& d) { check_definition(d, inner, query.define->span.end); }, definition);
            }
        }
        for (const dax::EvaluateStmt& stmt : query.evaluates) {
            next(stmt.span);
            std::size_t inner = stmt.span.start;
            const auto part = [&](const dax::Expr& e) {
                check_expr(e, inner, stmt.span.end);
                inner = e.span.end;
            };
            part(stmt.expr);
            for (const dax::OrderKey& key : stmt.order_by) {
                check_span(key.span, inner, stmt.span.end);
                check_expr(key.expr, key.span.start, key.span.end);
                inner = key.span.end;
            }
            if (stmt.start_at)
                for (const dax::Expr& value : *stmt.start_at) part(value);
        }
    }

private:
    template <class D>
    void check_definition(const D& d, std::size_t& previous, std::size_t hi) const {
        check_span(d.span, previous, hi);
        previous = d.span.end;
        std::size_t inner = d.span.start;
        if constexpr (std::is_same_v<D, dax::definition::Function>) {
            for (const dax::FuncParam& param : d.params) {
                check_span(param.span, inner, d.span.end);
                if (param.default_value) check_expr(*param.default_value, param.span.start, param.span.end);
                inner = param.span.end;
            }
            check_expr(d.body, inner, d.span.end);
            DAX_FUZZ_CHECK(d.body.span.end == d.span.end);
        } else {
            check_expr(d.expr, inner, d.span.end);
            if constexpr (std::is_same_v<D, dax::definition::Table>) {
                if (d.visual_shape) {
                    check_span(d.visual_shape->span, d.expr.span.end, d.span.end);
                    DAX_FUZZ_CHECK(d.visual_shape->span.end == d.span.end);
                    return;
                }
            }
            DAX_FUZZ_CHECK(d.expr.span.end == d.span.end);
        }
    }

    std::vector<std::size_t> starts_;
    std::vector<std::size_t> ends_;
};

// --- one run of an entry ---------------------------------------------------

// What an entry gave: its JSON text or its error, comparable across runs.
struct Outcome {
    bool ok = false;
    std::string text;  // the JSON, or the error's display text
    dax::DaxError error;

    friend bool operator==(const Outcome& a, const Outcome& b) { return a.ok == b.ok && a.text == b.text; }
};

// Runs `entry` on `input`, checks the result against the input and writes it.
// `check_value` checks what only the entry's own result type can tell.
template <class Entry, class Write, class CheckValue>
Outcome run_checked(std::string_view input, Entry entry, Write write, CheckValue check_value) {
    auto result = entry(input);
    Outcome outcome;
    if (!result) {
        outcome.error = result.error();
        check_error(input, outcome.error);
        outcome.text = outcome.error.display();
        return outcome;
    }
    check_value(input, result.value());
    dax::json::Buffer out;
    write(out, result.value());
    check_json(out.view());
    outcome.ok = true;
    outcome.text.assign(out.data(), out.size());
    return outcome;
}

// Whether `input` lexes with a doc comment among its tokens.
inline bool has_doc_comment(std::string_view input, dax::Dialect dialect) {
    auto tokens = dax::lex_with_dialect(input, dialect);
    if (!tokens) return false;
    for (const dax::Token& t : tokens.value())
        if (t.kind == dax::TokenKind::DocComment) return true;
    return false;
}

// A parse lexes the whole input first, so it fails with a lex error exactly
// when `lex` fails, and then with the very same error.
inline void check_lex_agreement(std::string_view input, dax::Dialect dialect, const Outcome& parsed) {
    auto tokens = dax::lex_with_dialect(input, dialect);
    const bool parse_lex_error = !parsed.ok && parsed.error.kind == dax::DaxError::Kind::Lex;
    DAX_FUZZ_CHECK(parse_lex_error == !tokens.ok());
    if (!tokens) DAX_FUZZ_CHECK(tokens.error() == parsed.error);
}

// The dialects every target tries besides the default: all switches flipped
// (no comments, comma lists, dot decimals), the semicolon-and-comma-decimal
// convention of many locales, and one picked by the input so that every
// combination of the five switches is reached over a run.
inline std::vector<dax::Dialect> dialects_for(std::string_view input) {
    std::uint32_t h = 2166136261u;  // FNV-1a
    for (const char c : input) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    const dax::Dialect picked{(h & 1) != 0, (h & 2) != 0, (h & 4) != 0, (h & 8) != 0, (h & 16) != 0};
    return {
        dax::default_dialect,
        dax::Dialect{false, false, false, false, false},
        dax::Dialect{true, true, true, true, true},
        picked,
    };
}

// The common frame of the targets: caps the size, skips invalid UTF-8 after
// a crash-only run (the library promises a safe result even then), and runs
// `check(input, dialect)` under each dialect twice, requiring equal outcomes.
template <class Check>
int fuzz_one(const std::uint8_t* data, std::size_t size, Check check, void (*unchecked)(std::string_view)) {
    if (size > max_input_size) return -1;  // keeps it out of the corpus
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (!valid_utf8(input)) {
        unchecked(input);
        return 0;
    }
    for (const dax::Dialect& dialect : dialects_for(input)) {
        const Outcome first = check(input, dialect);
        const Outcome second = check(input, dialect);
        DAX_FUZZ_CHECK(first == second);
    }
    return 0;
}

}  // namespace dax_fuzz
