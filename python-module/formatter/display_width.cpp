// Display widths from the generated range tables: ASCII at once, other code
// points by a binary search of the two tables.
#include "display_width.hpp"

#include <algorithm>
#include <iterator>

namespace dax::python::format {

namespace {

struct code_point_range {
    char32_t first;
    char32_t last;
};

#include "display_width.inc"

bool in(const code_point_range* begin, const code_point_range* end, char32_t c) noexcept {
    const auto* found =
        std::upper_bound(begin, end, c, [](char32_t value, const code_point_range& range) { return value < range.first; });
    return found != begin && c <= std::prev(found)->last;
}

}  // namespace

int code_point_columns(char32_t c) noexcept {
    if (c < 0x80) return 1;
    if (in(std::begin(zero_width_ranges), std::end(zero_width_ranges), c)) return 0;
    if (in(std::begin(wide_ranges), std::end(wide_ranges), c)) return 2;
    return 1;
}

std::ptrdiff_t display_width(std::string_view utf8) noexcept {
    std::ptrdiff_t columns = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t size = utf8.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++columns;
            ++i;
            continue;
        }
        // Valid UTF-8 by contract: the lead byte says how many follow.
        std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (i + length > size) length = size - i;
        char32_t c = lead & (length == 4 ? 0x07 : length == 3 ? 0x0F : 0x1F);
        for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (bytes[i + k] & 0x3F);
        columns += code_point_columns(c);
        i += length;
    }
    return columns;
}

}  // namespace dax::python::format
