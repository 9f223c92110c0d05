// Tests for the Unicode class lookups: both sides of range boundaries in each
// generated table, the ASCII fast path, and code points beyond U+10FFFF.
#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "check.hpp"
#include "unicode_classes.hpp"

using namespace dax::detail;

namespace {

using predicate = bool (*)(char32_t) noexcept;

struct expectation {
    char32_t c;
    bool in_class;
};

// Failures then read "U+00A0 yes" vs "U+00A0 no", naming the code point.
std::string label(char32_t c, bool in_class) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "U+%04X %s", static_cast<unsigned>(c), in_class ? "yes" : "no");
    return buf;
}

void check_class(predicate is_member, std::initializer_list<expectation> rows) {
    for (const auto& row : rows) CHECK_EQ(label(row.c, is_member(row.c)), label(row.c, row.in_class));
}

constexpr char32_t beyond_unicode = 0x110000;
constexpr char32_t largest_char32 = 0xFFFFFFFF;

}  // namespace

TEST_CASE(white_space_boundaries) {
    check_class(is_white_space, {
        {0x0008, false}, {0x0009, true}, {0x000D, true}, {0x000E, false},
        {0x001C, false}, {0x001D, false}, {0x001E, false}, {0x001F, false},
        {0x0020, true}, {0x0021, false},
        {0x0084, false}, {0x0085, true}, {0x0086, false}, {0x009F, false},
        {0x00A0, true}, {0x00A1, false},
        {0x167F, false}, {0x1680, true}, {0x1681, false}, {0x180E, false},
        {0x1FFF, false}, {0x2000, true}, {0x2005, true}, {0x200A, true}, {0x200B, false},
        {0x2027, false}, {0x2028, true}, {0x2029, true}, {0x202A, false},
        {0x202E, false}, {0x202F, true}, {0x2030, false},
        {0x205E, false}, {0x205F, true}, {0x2060, false},
        {0x2FFF, false}, {0x3000, true}, {0x3001, false}, {0xFEFF, false},
    });
}

TEST_CASE(alphabetic_boundaries) {
    check_class(is_alphabetic, {
        {U'@', false}, {U'A', true}, {U'Z', true}, {U'[', false},
        {U'`', false}, {U'a', true}, {U'z', true}, {U'{', false}, {U'0', false},
        {0x00A9, false}, {0x00AA, true}, {0x00AB, false}, {0x00B5, true}, {0x00BA, true},
        {0x00C0, true}, {0x00D6, true}, {0x00D7, false}, {0x00D8, true},
        {0x00E9, true}, {0x00F7, false}, {0x00FF, true},
        {0x0301, false}, {0x0345, true},               // a combining mark that is Other_Alphabetic
        {0x0410, true}, {0x0416, true}, {0x044F, true}, // Cyrillic
        {0x2160, true}, {0x20AC, false},               // letter-like number vs. currency sign
        {0x4DBF, true}, {0x4DC0, false}, {0x4E00, true}, {0x9FFF, true}, {0xA000, true},
        {0xAC00, true}, {0xD7A3, true}, {0xD7A4, false},
        {0x1F600, false},
    });
}

TEST_CASE(numeric_boundaries) {
    check_class(is_numeric, {
        {U'/', false}, {U'0', true}, {U'9', true}, {U':', false},
        {U'a', false}, {U'Z', false},
        {0x00B1, false}, {0x00B2, true}, {0x00B3, true}, {0x00B4, false},
        {0x00B9, true}, {0x00BC, true}, {0x00BD, true}, {0x00BE, true}, {0x00BF, false},
        {0x00E9, false}, {0x065F, false}, {0x0660, true}, {0x0669, true}, {0x066A, false},
        {0x215F, true}, {0x2160, true}, {0x2188, true},
        {0x3007, true}, {0x4E00, false},  // ideographic zero is Nl; "one" is a letter
        {0x1D7CD, false}, {0x1D7CE, true}, {0x1D7FF, true},
        {0x1F10C, true}, {0x1F10D, false},
    });
}

TEST_CASE(grapheme_extend_boundaries) {
    check_class(is_grapheme_extend, {
        {U'a', false}, {0x0000, false}, {0x007F, false},
        {0x02FF, false}, {0x0300, true}, {0x0301, true}, {0x036F, true}, {0x0370, false},
        {0x200B, false}, {0x200C, true}, {0x200D, false},  // ZWNJ extends; ZWJ does not
        {0x20DC, true}, {0x20DD, true}, {0x20E3, true}, {0x20F0, true}, {0x20F1, false},
        {0xFDFF, false}, {0xFE00, true}, {0xFE0F, true}, {0xFE10, false},
        {0xE001F, false}, {0xE0020, true}, {0xE007F, true}, {0xE0080, false},
        {0xE0100, true}, {0xE01EF, true}, {0xE01F0, false},
    });
}

TEST_CASE(printable_boundaries) {
    check_class(is_printable, {
        {0x0000, false}, {0x0007, false}, {0x001F, false}, {0x0020, true},
        {U'!', true}, {U'~', true}, {0x007F, false},
        {0x0080, false}, {0x009F, false}, {0x00A0, false}, {0x00A1, true},
        {0x00AC, true}, {0x00AD, false}, {0x00AE, true}, {0x00E9, true},
        {0x0377, true}, {0x0378, false}, {0x0379, false}, {0x037A, true},
        {0x1680, false}, {0x2000, false},
        {0x200A, false}, {0x200B, false}, {0x200E, false}, {0x2010, true},
        {0x2028, false}, {0x2029, false}, {0x202F, false}, {0x20AC, true},
        {0x3000, false}, {0x4E00, true},
        {0xD7FF, false}, {0xD800, false}, {0xDFFF, false},
        {0xE000, false}, {0xF8FF, false}, {0xF900, true},
        {0xFEFF, false}, {0xFFFD, true}, {0xFFFE, false}, {0xFFFF, false},
        {0x1F600, true}, {0x10FFFD, false}, {0x10FFFF, false},
    });
}

TEST_CASE(nothing_beyond_unicode_belongs_to_a_class) {
    for (const predicate is_member :
         {is_white_space, is_alphabetic, is_numeric, is_grapheme_extend, is_printable}) {
        check_class(is_member, {{beyond_unicode, false}, {0x1FFFFF, false}, {largest_char32, false}});
    }
}

// <cctype> in the "C" locale is an independent oracle for the ASCII fast path.
TEST_CASE(ascii_fast_path_matches_c_locale) {
    for (char32_t c = 0; c < 0x80; ++c) {
        const int b = static_cast<int>(c);
        CHECK_EQ(label(c, is_white_space(c)), label(c, std::isspace(b) != 0));
        CHECK_EQ(label(c, is_alphabetic(c)), label(c, std::isalpha(b) != 0));
        CHECK_EQ(label(c, is_numeric(c)), label(c, std::isdigit(b) != 0));
        CHECK_EQ(label(c, is_printable(c)), label(c, std::isprint(b) != 0));
        CHECK_EQ(label(c, is_grapheme_extend(c)), label(c, false));
    }
}

// Mixing up two tables would break these relations somewhere in the code space.
TEST_CASE(classes_are_mutually_consistent) {
    int violations = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        const bool space = is_white_space(c);
        if (space && (is_alphabetic(c) || is_numeric(c) || is_grapheme_extend(c))) ++violations;
        if ((is_alphabetic(c) || is_numeric(c)) && !is_printable(c)) ++violations;
    }
    CHECK_EQ(violations, 0);
}
