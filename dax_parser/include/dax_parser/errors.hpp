// The library's error values and the small result type every rule returns.
// Failures are values here; only a broken invariant is thrown (InternalFault).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "dax_parser/token.hpp"

namespace dax {

// The error of the whole library: what went wrong, and where.
struct ParseError {
    std::string message;
    Span span;

    // "<message> at <start>..<end>"
    std::string display() const;

    friend bool operator==(const ParseError&, const ParseError&) = default;
};

// The one error value that leaves the library.
struct DaxError {
    enum class Kind : std::uint8_t { Lex, Parse };

    Kind kind = Kind::Parse;
    ParseError error;

    static DaxError lex(ParseError e) { return DaxError{Kind::Lex, std::move(e)}; }
    static DaxError parse(ParseError e) { return DaxError{Kind::Parse, std::move(e)}; }

    // "lex error: ..." or "parse error: ..."
    std::string display() const;

    friend bool operator==(const DaxError&, const DaxError&) = default;
};

// A broken invariant of the library itself, never an input error. It is the
// only exception the library throws; the Python boundary turns it into an
// exception class of its own.
class InternalFault : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Either a value or an error.
template <class T, class E = ParseError>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return *std::get_if<0>(&v_); }
    const T& value() const& { return *std::get_if<0>(&v_); }
    // By value, so that a value taken from a temporary result cannot dangle.
    T value() && { return std::move(*std::get_if<0>(&v_)); }

    E& error() & { return *std::get_if<1>(&v_); }
    const E& error() const& { return *std::get_if<1>(&v_); }
    E error() && { return std::move(*std::get_if<1>(&v_)); }

private:
    std::variant<T, E> v_;
};

}  // namespace dax
