// Runs every registered case and prints a one-line summary; exits non-zero
// when a case failed or when there were no cases at all.
#include <cstdio>
#include <exception>

#include "check.hpp"

namespace check {

std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

static int failures_in_case = 0;

void fail(const char* file, int line, const std::string& what) {
    ++failures_in_case;
    std::fprintf(stderr, "  %s:%d: check failed: %s\n", file, line, what.c_str());
}

}  // namespace check

int main() {
    int passed = 0;
    int failed = 0;
    for (const auto& c : check::registry()) {
        check::failures_in_case = 0;
        try {
            c.run();
        } catch (const std::exception& e) {
            check::fail(c.name, 0, std::string("uncaught exception: ") + e.what());
        }
        if (check::failures_in_case == 0) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return (failed == 0 && passed > 0) ? 0 : 1;
}
