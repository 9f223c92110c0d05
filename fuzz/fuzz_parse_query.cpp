// libFuzzer target for parse_query: error spans, the JSON of the query, the
// same outcome on a second run, and agreement with the lexer on which inputs
// fail to lex (and how).
#include <cstddef>
#include <cstdint>

#include "invariants.hpp"

namespace {

dax_fuzz::Outcome parse_checked(std::string_view input, dax::Dialect dialect) {
    const auto checked = [&](dax::Grammar grammar) {
        return dax_fuzz::run_checked(
            input, [&](std::string_view text) { return dax::parse_query_with_dialect(text, dialect, grammar); },
            dax::json::write_query, [&](std::string_view text, const dax::Query& value) {
                dax_fuzz::SpanChecker(text, dialect).check_query(value, text.size());
            });
    };
    const dax_fuzz::Outcome outcome = checked(dax::Grammar::Standard);
    dax_fuzz::check_lex_agreement(input, dialect, outcome);
    // The engine grammar reads all the standard grammar reads, to the same
    // tree, but where a `///` line stands before an operand: the standard
    // grammar steps over it there, and so reads `1 + /// c` + newline +
    // `VAR` as a name, where the engine sees a comment and then a VAR block.
    const dax_fuzz::Outcome engine = checked(dax::Grammar::Engine);
    if (outcome.ok && !dax_fuzz::has_doc_comment(input, dialect))
        DAX_FUZZ_CHECK(engine.ok && engine.text == outcome.text);
    dax_fuzz::check_lex_agreement(input, dialect, engine);
    return outcome;
}

void parse_unchecked(std::string_view input) {
    auto result = dax::parse_query(input);
    if (result) {
        dax::json::Buffer out;
        dax::json::write_query(out, result.value());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return dax_fuzz::fuzz_one(data, size, parse_checked, parse_unchecked);
}
