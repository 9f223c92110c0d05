// libFuzzer target for parse_expression: error spans, the JSON of the tree,
// the same outcome on a second run, and agreement with the lexer on which
// inputs fail to lex (and how).
#include <cstddef>
#include <cstdint>

#include "invariants.hpp"

namespace {

dax_fuzz::Outcome parse_checked(std::string_view input, dax::Dialect dialect) {
    const dax_fuzz::Outcome outcome = dax_fuzz::run_checked(
        input, [&](std::string_view text) { return dax::parse_expression_with_dialect(text, dialect); },
        dax::json::write_expr, [&](std::string_view text, const dax::Expr& value) {
            dax_fuzz::SpanChecker(text, dialect).check_expr(value, 0, text.size());
        });
    dax_fuzz::check_lex_agreement(input, dialect, outcome);
    return outcome;
}

void parse_unchecked(std::string_view input) {
    auto result = dax::parse_expression(input);
    if (result) {
        dax::json::Buffer out;
        dax::json::write_expr(out, result.value());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return dax_fuzz::fuzz_one(data, size, parse_checked, parse_unchecked);
}
