// Decoding one UTF-8 character at a time, never reading past the end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dax::detail {

struct DecodedChar {
    char32_t code_point;
    std::uint8_t length;  // 1 to 4 bytes
};

// Stands for a malformed sequence: the library is handed valid UTF-8, but a
// caller who breaks that contract must still get a bounded, safe result.
inline constexpr char32_t replacement_character = 0xFFFD;

// Decodes the character at `p`; `available` (at least 1) bytes may be read.
// A malformed or truncated sequence decodes as one byte of U+FFFD.
inline DecodedChar decode_utf8(const unsigned char* p, std::size_t available) noexcept {
    const unsigned char b0 = p[0];
    if (b0 < 0x80) return {b0, 1};
    const auto continuation = [&](std::size_t i) { return i < available && (p[i] & 0xC0) == 0x80; };
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (continuation(1)) return {static_cast<char32_t>(((b0 & 0x1F) << 6) | (p[1] & 0x3F)), 2};
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (continuation(1) && continuation(2)) {
            const char32_t c = ((b0 & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
            if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) return {c, 3};
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (continuation(1) && continuation(2) && continuation(3)) {
            const char32_t c = ((b0 & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
            if (c >= 0x10000 && c <= 0x10FFFF) return {c, 4};
        }
    }
    return {replacement_character, 1};
}

}  // namespace dax::detail
