// libFuzzer target for the lexer: token spans and payloads against the
// input, the JSON of the tokens, and the same outcome on a second run.
#include <cstddef>
#include <cstdint>

#include "invariants.hpp"

namespace {

dax_fuzz::Outcome lex_checked(std::string_view input, dax::Dialect dialect) {
    return dax_fuzz::run_checked(
        input, [&](std::string_view text) { return dax::lex_with_dialect(text, dialect); },
        [&](dax::json::Buffer& out, const dax::TokenVector& tokens) {
            dax::json::write_tokens(out, tokens, input);
        },
        dax_fuzz::check_tokens);
}

void lex_unchecked(std::string_view input) {
    auto result = dax::lex(input);
    if (result) {
        dax::json::Buffer out;
        dax::json::write_tokens(out, result.value(), input);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return dax_fuzz::fuzz_one(data, size, lex_checked, lex_unchecked);
}
