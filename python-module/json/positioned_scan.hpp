// One pass over a JSON text that records every token with where it is, in
// characters (code points) of the text: what the positioned readers of report
// and model files build their values from. Free of Python, so that a fuzzer
// and the C++ tests can drive it.
//
// The scan accepts only plain JSON: any fault, a nesting deeper than
// max_depth or a number too long to convert cheaply ends it with no result,
// and the careful reader in Python reads the text again to say where and why.
// Nesting costs no stack: open containers are kept on a vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace dax::json {

// Code points, as Python keeps a str (lone surrogates included).
using Text = std::span<const std::uint32_t>;

// How many arrays and objects may be open at once: json_reader.MAX_DEPTH,
// past which the careful reader reports the nesting.
inline constexpr std::size_t max_depth = 500;
// Longer numbers go to the careful reader, which turns them into floats
// (Python will not convert a very long digit string into an int).
inline constexpr std::size_t longest_number = 300;

enum class TokenKind : std::uint8_t {
    ObjectStart,
    ObjectEnd,
    ArrayStart,
    ArrayEnd,
    Key,
    String,
    Integer,
    Real,
    True,
    False,
    Null,
};

// A token at [start, end) of the text; a string's span holds its quotes.
struct Token {
    std::size_t start;
    std::size_t end;
    TokenKind kind;
    // A string or key with a backslash in it (its value is not its text).
    bool escaped = false;
    // ObjectStart and ArrayStart: a string of the marker set is written
    // somewhere inside the container (a key or a value, at any depth).
    bool marked = false;
};

// Strings whose raw text (between the quotes) marks the containers holding
// them, kept by length: a token is compared only with markers as long as it.
class MarkerSet {
public:
    void add(std::vector<std::uint32_t> marker);
    bool empty() const noexcept { return by_length_.empty(); }
    bool contains(Text raw) const noexcept;

private:
    std::vector<std::vector<std::vector<std::uint32_t>>> by_length_;
};

// The tokens of `text` in order, or nothing when the text is not plain JSON
// (see above). With markers, each container says whether it holds one.
// May throw std::bad_alloc.
std::optional<std::vector<Token>> scan(Text text, const MarkerSet* markers = nullptr);

// Appends the value of a string token the scan accepted (`raw`: the text
// between its quotes) to `out`, as Python's json decodes it: a high and a
// low surrogate escape side by side make one character, a lone one stays.
void decode_string(Text raw, std::vector<std::uint32_t>& out);

// One escape of a string's text as Python's json decodes it: at `raw`
// (an offset of the text), `length` characters long, making the character
// at `decoded` of the value (a surrogate pair's two escapes are one).
struct Escape {
    std::size_t decoded;
    std::size_t raw;
    std::size_t length;
};

// The escapes in [start, end) of `text`, in order: a backslash and the
// character after it, or `\uXXXX`, or two of those making a surrogate pair.
std::vector<Escape> escapes(Text text, std::size_t start, std::size_t end);

// Where each line of `text` begins: 0, and just past each line feed.
std::vector<std::size_t> line_starts(Text text);

}  // namespace dax::json
