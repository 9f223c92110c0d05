// The scan of positioned_scan.hpp: a loop over values with the open
// containers on a vector, and the decoding of string escapes.
#include "json/positioned_scan.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

namespace dax::json {

void MarkerSet::add(std::vector<std::uint32_t> marker) {
    if (by_length_.size() <= marker.size()) by_length_.resize(marker.size() + 1);
    by_length_[marker.size()].push_back(std::move(marker));
}

bool MarkerSet::contains(Text raw) const noexcept {
    if (raw.size() >= by_length_.size()) return false;
    for (const std::vector<std::uint32_t>& marker : by_length_[raw.size()]) {
        if (std::equal(marker.begin(), marker.end(), raw.begin())) return true;
    }
    return false;
}

namespace {

// Past the end of the text: no code point has this value.
constexpr std::uint32_t end_of_text = 0x110000;

bool is_digit(std::uint32_t c) noexcept { return c >= '0' && c <= '9'; }

int hex_value(std::uint32_t c) noexcept {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

bool is_high_surrogate(std::uint32_t c) noexcept { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(std::uint32_t c) noexcept { return c >= 0xDC00 && c <= 0xDFFF; }

class Scanner {
public:
    Scanner(Text text, const MarkerSet* markers) noexcept
        : text_(text), markers_(markers != nullptr && !markers->empty() ? markers : nullptr) {}

    // value -> object | array | string | number | literal; a container's
    // members are read by the same loop, its closing by `close_values`.
    std::optional<std::vector<Token>> run() {
        std::size_t pos = skip_white(0);
        while (true) {
            const std::uint32_t c = at(pos);
            if (c == '{' || c == '[') {
                if (open_.size() >= max_depth) return std::nullopt;
                const bool object = c == '{';
                open_.push_back(tokens_.size());
                tokens_.push_back({pos, 0, object ? TokenKind::ObjectStart : TokenKind::ArrayStart});
                pos = skip_white(pos + 1);
                if (at(pos) == (object ? '}' : ']')) {
                    if (!close(pos)) return std::nullopt;
                    ++pos;
                } else {
                    if (object && !key(pos)) return std::nullopt;
                    continue;
                }
            } else if (c == '"') {
                if (!string(pos, TokenKind::String)) return std::nullopt;
            } else if (c == '-' || is_digit(c)) {
                if (!number(pos)) return std::nullopt;
            } else if (!literal(pos)) {
                return std::nullopt;
            }
            // After a value: the containers that end here, then either the
            // next member or the end of the text.
            if (!after_value(pos)) return std::nullopt;
            if (open_.empty()) return skip_white(pos) == text_.size() ? std::optional(std::move(tokens_)) : std::nullopt;
        }
    }

private:
    std::uint32_t at(std::size_t pos) const noexcept { return pos < text_.size() ? text_[pos] : end_of_text; }

    std::size_t skip_white(std::size_t pos) const noexcept {
        while (true) {
            const std::uint32_t c = at(pos);
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return pos;
            ++pos;
        }
    }

    bool in_object() const noexcept { return tokens_[open_.back()].kind == TokenKind::ObjectStart; }

    // Closes the innermost container at `pos` (its closing character): its
    // start token learns its end, and its parent any marker it holds.
    bool close(std::size_t pos) {
        const std::size_t start = open_.back();
        open_.pop_back();
        Token& opening = tokens_[start];
        opening.end = pos + 1;
        if (opening.marked && !open_.empty()) tokens_[open_.back()].marked = true;
        const bool object = opening.kind == TokenKind::ObjectStart;
        tokens_.push_back({pos, pos + 1, object ? TokenKind::ObjectEnd : TokenKind::ArrayEnd});
        return true;
    }

    // Moves `pos` past the containers that close after a value and the
    // comma (and key) before the next member; false on anything else.
    bool after_value(std::size_t& pos) {
        while (!open_.empty()) {
            pos = skip_white(pos);
            const std::uint32_t c = at(pos);
            if (c == ',') {
                pos = skip_white(pos + 1);
                return !in_object() || key(pos);
            }
            if (c != (in_object() ? '}' : ']')) return false;
            close(pos);
            ++pos;
        }
        return true;
    }

    // key -> string ':'
    bool key(std::size_t& pos) {
        if (at(pos) != '"' || !string(pos, TokenKind::Key)) return false;
        pos = skip_white(pos);
        if (at(pos) != ':') return false;
        pos = skip_white(pos + 1);
        return true;
    }

    // string -> '"' { character | escape } '"'; no control character raw.
    bool string(std::size_t& pos, TokenKind kind) {
        std::size_t i = pos + 1;
        bool escaped = false;
        while (true) {
            const std::uint32_t c = at(i);
            if (c == '"') break;
            if (c < 0x20 || c == end_of_text) return false;
            if (c != '\\') {
                ++i;
                continue;
            }
            escaped = true;
            const std::uint32_t e = at(i + 1);
            if (e == 'u') {
                for (std::size_t k = i + 2; k < i + 6; ++k) {
                    if (hex_value(at(k)) < 0) return false;
                }
                i += 6;
            } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' ||
                       e == 't') {
                i += 2;
            } else {
                return false;
            }
        }
        if (markers_ != nullptr && !open_.empty() && markers_->contains(text_.subspan(pos + 1, i - pos - 1))) {
            tokens_[open_.back()].marked = true;
        }
        tokens_.push_back({pos, i + 1, kind, escaped});
        pos = i + 1;
        return true;
    }

    // number -> '-'? ('0' | [1-9][0-9]*) ('.' [0-9]+)? ([eE] [+-]? [0-9]+)?
    bool number(std::size_t& pos) {
        std::size_t i = pos;
        if (at(i) == '-') ++i;
        if (at(i) == '0') {
            ++i;
        } else if (is_digit(at(i))) {
            while (is_digit(at(i))) ++i;
        } else {
            return false;
        }
        bool real = false;
        if (at(i) == '.') {
            if (!is_digit(at(i + 1))) return false;
            ++i;
            while (is_digit(at(i))) ++i;
            real = true;
        }
        if (at(i) == 'e' || at(i) == 'E') {
            ++i;
            if (at(i) == '+' || at(i) == '-') ++i;
            if (!is_digit(at(i))) return false;
            while (is_digit(at(i))) ++i;
            real = true;
        }
        if (i - pos > longest_number) return false;
        tokens_.push_back({pos, i, real ? TokenKind::Real : TokenKind::Integer});
        pos = i;
        return true;
    }

    // literal -> 'true' | 'false' | 'null'
    bool literal(std::size_t& pos) {
        struct Word {
            std::u32string_view text;
            TokenKind kind;
        };
        for (const Word& word : {Word{U"true", TokenKind::True}, Word{U"false", TokenKind::False},
                                 Word{U"null", TokenKind::Null}}) {
            bool same = true;
            for (std::size_t k = 0; k < word.text.size() && same; ++k) same = at(pos + k) == word.text[k];
            if (same) {
                tokens_.push_back({pos, pos + word.text.size(), word.kind});
                pos += word.text.size();
                return true;
            }
        }
        return false;
    }

    Text text_;
    const MarkerSet* markers_;
    std::vector<Token> tokens_;
    // Indices in tokens_ of the open containers' start tokens, innermost last.
    std::vector<std::size_t> open_;
};

std::uint32_t hex4(Text raw, std::size_t at) noexcept {
    std::uint32_t value = 0;
    for (std::size_t k = at; k < at + 4; ++k) value = value * 16 + static_cast<std::uint32_t>(hex_value(raw[k]));
    return value;
}

}  // namespace

std::optional<std::vector<Token>> scan(Text text, const MarkerSet* markers) {
    return Scanner(text, markers).run();
}

void decode_string(Text raw, std::vector<std::uint32_t>& out) {
    std::size_t i = 0;
    while (i < raw.size()) {
        const std::uint32_t c = raw[i];
        if (c != '\\') {
            out.push_back(c);
            ++i;
            continue;
        }
        const std::uint32_t e = raw[i + 1];
        if (e != 'u') {
            switch (e) {
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                default: out.push_back(e); break;  // '"', '\\', '/'
            }
            i += 2;
            continue;
        }
        std::uint32_t code = hex4(raw, i + 2);
        i += 6;
        if (is_high_surrogate(code) && i + 6 <= raw.size() && raw[i] == '\\' && raw[i + 1] == 'u') {
            const std::uint32_t low = hex4(raw, i + 2);
            if (is_low_surrogate(low)) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                i += 6;
            }
        }
        out.push_back(code);
    }
}

std::vector<Escape> escapes(Text text, std::size_t start, std::size_t end) {
    std::vector<Escape> found;
    end = std::min(end, text.size());
    // How much shorter the value is than the text read so far.
    std::size_t shortened = 0;
    std::size_t i = start;
    while (i + 1 < end) {
        if (text[i] != '\\') {
            ++i;
            continue;
        }
        const auto hex_at = [&](std::size_t at) {
            if (at + 6 > end || text[at] != '\\' || text[at + 1] != 'u') return std::optional<std::uint32_t>();
            for (std::size_t k = at + 2; k < at + 6; ++k) {
                if (hex_value(text[k]) < 0) return std::optional<std::uint32_t>();
            }
            return std::optional<std::uint32_t>(hex4(text, at + 2));
        };
        std::size_t length = 2;
        if (const auto code = hex_at(i)) {
            length = 6;
            if (is_high_surrogate(*code)) {
                const auto low = hex_at(i + 6);
                if (low && is_low_surrogate(*low)) length = 12;
            }
        }
        found.push_back({i - start - shortened, i, length});
        shortened += length - 1;
        i += length;
    }
    return found;
}

std::vector<std::size_t> line_starts(Text text) {
    std::vector<std::size_t> starts{0};
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') starts.push_back(i + 1);
    }
    return starts;
}

}  // namespace dax::json
