// A column of texts laid out as Arrow lays out a string array: offsets into
// one block of UTF-8 bytes, and a validity bitmap (a null is no text). The
// bulk entries read the buffers of a pyarrow array in place through this
// view, so that no Python object is made per text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace dax::batch {

class TextColumn {
public:
    // `offsets` holds length + 1 offsets of 32 bits (`wide` false) or 64
    // bits, starting at element `first`; `validity` may be null (no nulls),
    // its bit `first + i` is that of text i.
    TextColumn(const void* offsets, bool wide, const char* data, const std::uint8_t* validity, std::size_t first,
               std::size_t length) noexcept
        : offsets_(offsets), wide_(wide), data_(data), validity_(validity), first_(first), length_(length) {}

    std::size_t size() const noexcept { return length_; }

    // The i-th text, or nothing for a null.
    std::optional<std::string_view> operator[](std::size_t i) const noexcept {
        const std::size_t at = first_ + i;
        if (validity_ != nullptr && ((validity_[at >> 3] >> (at & 7)) & 1) == 0) return std::nullopt;
        const std::size_t start = offset(at);
        const std::size_t end = offset(at + 1);
        return std::string_view(data_ + start, end - start);
    }

private:
    std::size_t offset(std::size_t at) const noexcept {
        if (wide_) return static_cast<std::size_t>(static_cast<const std::int64_t*>(offsets_)[at]);
        return static_cast<std::size_t>(static_cast<const std::int32_t*>(offsets_)[at]);
    }

    const void* offsets_;
    bool wide_;
    const char* data_;
    const std::uint8_t* validity_;
    std::size_t first_;
    std::size_t length_;
};

}  // namespace dax::batch
