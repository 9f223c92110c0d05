// The query tree: an optional DEFINE block and one or more EVALUATE statements.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "dax_parser/expr.hpp"

namespace dax {

struct FuncParam {
    std::string name;
    std::vector<std::string> type_hints;
    Span span;  // from the name to its last type hint or its default value
    // `= expr` after the type hints (engine grammar): makes the parameter optional.
    std::optional<Expr> default_value;
};

enum class SortDirection : std::uint8_t { Asc, Desc };

struct OrderKey {
    Expr expr;
    SortDirection direction = SortDirection::Asc;
    Span span;  // the key and its ASC or DESC
};

// The visual shape of a table for visual calculations (engine grammar):
// `WITH VISUAL SHAPE { AXIS ROWS|COLUMNS { GROUP cols [TOTAL col] } [ORDER BY keys] } [DENSIFY "name"]`.
struct VisualGroup {
    std::vector<Expr> columns;
    std::optional<Expr> total;
    Span span;
};
struct VisualAxis {
    std::string name;  // ROWS or COLUMNS, as written
    std::vector<VisualGroup> groups;
    std::vector<OrderKey> order_by;
    Span span;
};
struct VisualShape {
    std::vector<VisualAxis> axes;
    std::optional<std::string> densify;
    Span span;  // from WITH to its last token
};

// One struct per variant of Definition, named as the variant.
namespace definition {

struct Measure {
    std::optional<std::string> doc;
    std::optional<TableName> table;
    std::string name;
    Expr expr;
    Span span;
};
struct Var {
    std::optional<std::string> doc;
    std::string name;
    Expr expr;
    Span span;
};
struct Table {
    std::optional<std::string> doc;
    std::string name;
    Expr expr;
    Span span;
    std::optional<VisualShape> visual_shape;
};
struct Column {
    std::optional<std::string> doc;
    std::optional<TableName> table;
    std::string name;
    Expr expr;
    Span span;
};
struct Function {
    std::optional<std::string> doc;
    std::string name;
    std::vector<FuncParam> params;
    Expr body;
    Span span;
};
// `MPARAMETER name = expr` (engine grammar): the value a query gives a
// dynamic M query parameter of the model, by the parameter's name (quotes
// taken off), as Power BI writes it into the queries of its visuals.
struct MParameter {
    std::optional<std::string> doc;
    std::string name;
    Expr expr;
    Span span;
};

}  // namespace definition

// A definition's span runs from its first doc comment (or its keyword) to the
// end of its expression; the `;` after it is not part of it.

using Definition = std::variant<definition::Measure, definition::Var, definition::Table, definition::Column,
                                definition::Function, definition::MParameter>;

struct DefineBlock {
    std::vector<Definition> defs;
    Span span;  // from `DEFINE` to the end of the last definition
};

struct EvaluateStmt {
    Expr expr;
    std::vector<OrderKey> order_by;
    std::optional<std::vector<Expr>> start_at;
    Span span;  // from `EVALUATE` to the end of its last clause
};

struct Query {
    std::optional<DefineBlock> define;
    std::vector<EvaluateStmt> evaluates;
    Span span;  // from the first token to the last, doc comments included
};

}  // namespace dax
