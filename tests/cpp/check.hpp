// A tiny test harness for the C++ tests: TEST_CASE registers a function, and
// CHECK / CHECK_EQ record failures without stopping the case.
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    void (*run)();
};

std::vector<Case>& registry();

struct Registrar {
    Registrar(const char* name, void (*run)()) { registry().push_back({name, run}); }
};

void fail(const char* file, int line, const std::string& what);

template <class T>
std::string show(const T& value) {
    if constexpr (requires(std::ostream& os, const T& v) { os << v; }) {
        std::ostringstream out;
        out << value;
        return out.str();
    } else {
        return "<value>";
    }
}

template <class A, class B>
std::string describe(const char* expr, const A& a, const B& b) {
    return std::string(expr) + "\n      left:  " + show(a) + "\n      right: " + show(b);
}

}  // namespace check

#define TEST_CASE(name)                                          \
    static void name();                                          \
    static const ::check::Registrar name##_registrar(#name, name); \
    static void name()

#define CHECK(cond)                                               \
    do {                                                          \
        if (!(cond)) ::check::fail(__FILE__, __LINE__, #cond);    \
    } while (0)

#define CHECK_EQ(a, b)                                                                   \
    do {                                                                                 \
        const auto& check_a_ = (a);                                                      \
        const auto& check_b_ = (b);                                                      \
        if (!(check_a_ == check_b_))                                                     \
            ::check::fail(__FILE__, __LINE__, ::check::describe(#a " == " #b, check_a_, check_b_)); \
    } while (0)
