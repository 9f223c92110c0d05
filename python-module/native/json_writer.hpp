// Compact JSON text of tokens, expression trees and query trees.
// Free of Python so that the fuzzers and the C++ tests can use it directly.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "dax_parser/expr.hpp"
#include "dax_parser/query.hpp"
#include "dax_parser/token.hpp"

namespace dax::json {

// Where a buffer's bytes go when it is drained rather than grown: a reader
// of a document too large to hold at once (a digest of it, say).
class Drain {
public:
    virtual void take(std::string_view bytes) = 0;

protected:
    ~Drain() = default;
};

// A growable byte buffer that only ever appends. Growth doubles the capacity
// (or takes the length needed, if larger); allocation failure throws
// std::bad_alloc. Large buffers take large blocks (dax_parser/large_pages.hpp).
// A buffer given a drain hands it its bytes instead of growing.
class Buffer {
public:
    static constexpr std::size_t initial_capacity = 128;

    Buffer();
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    void append(const char* bytes, std::size_t n) {
        if (capacity_ - size_ < n) grow(n);
        __builtin_memcpy(data_ + size_, bytes, n);
        size_ += n;
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    void push(char c) {
        if (size_ == capacity_) grow(1);
        data_[size_++] = c;
    }
    // Makes room for `n` more bytes at once.
    void reserve_more(std::size_t n) {
        if (capacity_ - size_ < n) grow(n);
    }

    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::string_view view() const noexcept { return {data_, size_}; }

    // From now on, once it holds more than `threshold` bytes, hands what it
    // holds to `drain` whenever it is full, and grows only for a single
    // append larger than what it can hold.
    void drain_into(Drain* drain, std::size_t threshold = 0) noexcept {
        drain_ = drain;
        drain_threshold_ = threshold;
    }
    // Whether it has handed anything to its drain.
    bool drained() const noexcept { return drained_; }
    // Hands what it holds to its drain (nothing without one).
    void flush();

private:
    void grow(std::size_t needed_extra);

    char* data_ = nullptr;
    Drain* drain_ = nullptr;
    std::size_t drain_threshold_ = 0;
    bool drained_ = false;
    bool mapped_ = false;  // held in pages of our own mapping rather than from malloc
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// A JSON string: quotes around `text` escaped byte by byte.
void write_string(Buffer& out, std::string_view text);
// Decimal digits, no sign, no exponent.
void write_unsigned(Buffer& out, std::size_t value);

// The array of tokens that `lex` returns; `input` is the text they were cut from.
void write_tokens(Buffer& out, const TokenVector& tokens, std::string_view input);
// One expression; never recurses on the tree's depth.
void write_expr(Buffer& out, const Expr& expr);
// One query.
void write_query(Buffer& out, const Query& query);

}  // namespace dax::json
