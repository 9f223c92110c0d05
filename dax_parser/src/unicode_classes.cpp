// Unicode class lookups for the lexer: ASCII, by far the common case, costs one
// table load; anything else a binary search over unicode_tables.inc.
#include "unicode_classes.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

namespace dax::detail {
namespace {

struct code_point_range {
    char32_t first;
    char32_t last;  // inclusive
};

#include "unicode_tables.inc"

constexpr char32_t ascii_limit = 0x80;
constexpr char32_t max_code_point = 0x10FFFF;

// The search below relies on this shape; a hand edit or a generator bug that
// breaks it should fail the build, not return wrong answers.
template <std::size_t N>
constexpr bool well_formed(const code_point_range (&ranges)[N]) {
    char32_t next_allowed = ascii_limit;
    for (const auto& r : ranges) {
        if (r.first < next_allowed || r.last < r.first || r.last > max_code_point) return false;
        next_allowed = r.last + 2;  // +2: touching ranges should have been merged
    }
    return true;
}
static_assert(well_formed(white_space_ranges));
static_assert(well_formed(alphabetic_ranges));
static_assert(well_formed(numeric_ranges));
static_assert(well_formed(grapheme_extend_ranges));
static_assert(well_formed(not_printable_ranges));

enum ascii_flag : std::uint8_t {
    white_space_flag = 1 << 0,
    alphabetic_flag = 1 << 1,
    numeric_flag = 1 << 2,
    printable_flag = 1 << 3,
    // No ASCII character is Grapheme_Extend, so it needs no flag.
};

// The generator checks these ASCII memberships against the data it reads.
constexpr std::array<std::uint8_t, ascii_limit> make_ascii_flags() {
    std::array<std::uint8_t, ascii_limit> flags{};
    for (char32_t c = 0; c < ascii_limit; ++c) {
        std::uint8_t f = 0;
        if ((c >= 0x09 && c <= 0x0D) || c == 0x20) f |= white_space_flag;
        if ((c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z')) f |= alphabetic_flag;
        if (c >= U'0' && c <= U'9') f |= numeric_flag;
        if (c >= 0x20 && c != 0x7F) f |= printable_flag;  // controls are Cc
        flags[c] = f;
    }
    return flags;
}
constexpr auto ascii_flags = make_ascii_flags();

template <std::size_t N>
bool in_ranges(const code_point_range (&ranges)[N], char32_t c) noexcept {
    // c can only lie in the last range starting at or before it.
    const auto* after = std::upper_bound(
        std::begin(ranges), std::end(ranges), c,
        [](char32_t value, const code_point_range& r) { return value < r.first; });
    return after != std::begin(ranges) && c <= after[-1].last;
}

}  // namespace

bool is_white_space(char32_t c) noexcept {
    if (c < ascii_limit) return ascii_flags[c] & white_space_flag;
    return in_ranges(white_space_ranges, c);
}

bool is_alphabetic(char32_t c) noexcept {
    if (c < ascii_limit) return ascii_flags[c] & alphabetic_flag;
    return in_ranges(alphabetic_ranges, c);
}

bool is_numeric(char32_t c) noexcept {
    if (c < ascii_limit) return ascii_flags[c] & numeric_flag;
    return in_ranges(numeric_ranges, c);
}

bool is_grapheme_extend(char32_t c) noexcept {
    if (c < ascii_limit) return false;
    return in_ranges(grapheme_extend_ranges, c);
}

bool is_printable(char32_t c) noexcept {
    if (c < ascii_limit) return ascii_flags[c] & printable_flag;
    // The table covers only real code points; anything beyond is not a character.
    return c <= max_code_point && !in_ranges(not_printable_ranges, c);
}

}  // namespace dax::detail
