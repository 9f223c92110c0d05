// The references of one DAX formula or query: every name it uses (tables,
// columns, measures, hierarchies, functions, variables, parameters), each
// with its span, the call and argument it stands in, and for a variable or a
// parameter the definition it refers to. Nothing here touches Python, so that
// fuzzers and C++ tests can use it; reference_objects.cpp makes the objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dax_parser/expr.hpp"
#include "dax_parser/query.hpp"

namespace dax::refs {

// Every kind of reference, with the name Python sees, in tag order.
#define DAX_REFERENCE_KINDS(X)                            \
    X(Table, "table")                /* 'Sales', Sales */ \
    X(Column, "column")              /* Sales[Amount] */  \
    X(Bracket, "bracket")            /* [Amount] */       \
    X(Hierarchy, "hierarchy")        /* 'Date'[Calendar].[Year] */ \
    X(Function, "function")          /* SUM ( ... ) */    \
    X(Variable, "variable")          /* VAR x = ... */    \
    X(VariableUse, "variable use")                        \
    X(Parameter, "parameter")        /* ( x : INT64 ) => ... */ \
    X(ParameterUse, "parameter use")                      \
    X(QueryParameter, "query parameter")  /* @p */        \
    X(MeasureDefinition, "measure definition")  /* DEFINE MEASURE */ \
    X(ColumnDefinition, "column definition")                         \
    X(TableDefinition, "table definition")                           \
    X(FunctionDefinition, "function definition")                     \
    X(MParameterDefinition, "mparameter definition")  /* DEFINE MPARAMETER */

enum class ReferenceKind : std::uint8_t {
#define DAX_REFERENCE_KIND_ENTRY(name, text) name,
    DAX_REFERENCE_KINDS(DAX_REFERENCE_KIND_ENTRY)
#undef DAX_REFERENCE_KIND_ENTRY
};

inline constexpr std::size_t reference_kind_count = 0
#define DAX_REFERENCE_KIND_COUNT(name, text) +1
    DAX_REFERENCE_KINDS(DAX_REFERENCE_KIND_COUNT)
#undef DAX_REFERENCE_KIND_COUNT
    ;

std::string_view reference_kind_name(ReferenceKind kind) noexcept;

// No index: a reference outside any call, a name bound to nothing.
inline constexpr std::size_t no_index = static_cast<std::size_t>(-1);

struct Reference {
    ReferenceKind kind = ReferenceKind::Table;
    // The whole reference (`'Sales'[Amount]`, a call from its name to its
    // `)`); for a variable or parameter definition, its name alone.
    Span span{};
    // The name as written, pointing into the tree, which must outlive the
    // list: a call's name, a column's or hierarchy's column, a variable's.
    std::string_view name{};
    std::string_view table{};  // when has_table: the table of a column, hierarchy or query definition
    bool has_table = false;
    const std::vector<std::string>* levels = nullptr;  // a hierarchy's levels
    std::size_t parent = no_index;                     // the innermost call it stands in: that call's index
    std::size_t argument = no_index;                   // and which of its arguments, from 0
    // A use of a variable or parameter, or a column of a table variable
    // (`t[x]`): the index of the definition.
    std::size_t target = no_index;
};

// The references in source order (a definition before what its value uses).
// Each walk uses a work list: a tree may be as deep as an operator chain is
// long. `source` is the text the tree was parsed from, to find the spans of
// variable and parameter names, which the tree does not keep.
std::vector<Reference> expression_references(const Expr& root, std::string_view source);
std::vector<Reference> query_references(const Query& query, std::string_view source);
std::vector<Reference> function_references(const definition::Function& function, std::string_view source);

}  // namespace dax::refs
