// libFuzzer target for the references of a tree (python-module/syntax/references):
// each input read as an expression, a query and a model's function, and of
// every tree that parses: spans inside the input and in source order, each
// reference's call before it and a call, each use's definition before it,
// a definition of the same name, and the same list on a second run.
#include <cstddef>
#include <cstdint>

#include "invariants.hpp"
#include "syntax/references.hpp"

namespace {

using dax::refs::Reference;
using dax::refs::ReferenceKind;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

void check_references(std::string_view input, const std::vector<Reference>& refs) {
    std::size_t previous_start = 0;
    for (std::size_t i = 0; i < refs.size(); ++i) {
        const Reference& ref = refs[i];
        DAX_FUZZ_CHECK(ref.span.start <= ref.span.end && ref.span.end <= input.size());
        DAX_FUZZ_CHECK(dax_fuzz::on_char_boundary(input, ref.span.start));
        DAX_FUZZ_CHECK(dax_fuzz::on_char_boundary(input, ref.span.end));
        DAX_FUZZ_CHECK(ref.span.start >= previous_start);
        previous_start = ref.span.start;
        DAX_FUZZ_CHECK((ref.parent == dax::refs::no_index) == (ref.argument == dax::refs::no_index));
        if (ref.parent != dax::refs::no_index) {
            DAX_FUZZ_CHECK(ref.parent < i && refs[ref.parent].kind == ReferenceKind::Function);
            const dax::Span call = refs[ref.parent].span;
            DAX_FUZZ_CHECK(call.start <= ref.span.start && ref.span.end <= call.end);
        }
        const bool use = ref.kind == ReferenceKind::VariableUse || ref.kind == ReferenceKind::ParameterUse;
        if (use) DAX_FUZZ_CHECK(ref.target != dax::refs::no_index);
        if (ref.target != dax::refs::no_index) {
            DAX_FUZZ_CHECK(ref.target < i);
            const Reference& definition = refs[ref.target];
            DAX_FUZZ_CHECK(definition.kind == ReferenceKind::Variable || definition.kind == ReferenceKind::Parameter);
            DAX_FUZZ_CHECK(same_name(definition.name, use ? ref.name : ref.table));
        }
        // A definition's span is its name, exactly as written.
        if (ref.kind == ReferenceKind::Variable || ref.kind == ReferenceKind::Parameter)
            DAX_FUZZ_CHECK(input.substr(ref.span.start, ref.span.end - ref.span.start) == ref.name);
    }
}

template <class Parse, class Walk>
void check_kind(std::string_view input, dax::Dialect dialect, Parse parse, Walk walk, std::string& summary) {
    auto result = parse(input, dialect, dax::Grammar::Engine);
    if (!result) return;
    const std::vector<Reference> refs = walk(result.value(), input);
    check_references(input, refs);
    DAX_FUZZ_CHECK(walk(result.value(), input).size() == refs.size());
    summary += std::to_string(refs.size()) + ";";
    for (const Reference& ref : refs) summary += std::to_string(ref.span.start) + "," + std::string(ref.name) + ";";
}

dax_fuzz::Outcome references_checked(std::string_view input, dax::Dialect dialect) {
    dax_fuzz::Outcome outcome;
    outcome.ok = true;
    check_kind(
        input, dialect,
        [](std::string_view text, dax::Dialect d, dax::Grammar g) { return dax::parse_expression_with_dialect(text, d, g); },
        dax::refs::expression_references, outcome.text);
    check_kind(
        input, dialect,
        [](std::string_view text, dax::Dialect d, dax::Grammar g) { return dax::parse_query_with_dialect(text, d, g); },
        dax::refs::query_references, outcome.text);
    check_kind(
        input, dialect,
        [](std::string_view text, dax::Dialect d, dax::Grammar g) { return dax::parse_function_with_dialect(text, d, g); },
        dax::refs::function_references, outcome.text);
    return outcome;
}

void references_unchecked(std::string_view input) {
    auto result = dax::parse_expression(input);
    if (result) dax::refs::expression_references(result.value(), input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return dax_fuzz::fuzz_one(data, size, references_checked, references_unchecked);
}
