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
};

// One struct per variant of Definition, named as the variant.
namespace definition {

struct Measure {
    std::optional<std::string> doc;
    std::optional<TableName> table;
    std::string name;
    Expr expr;
};
struct Var {
    std::optional<std::string> doc;
    std::string name;
    Expr expr;
};
struct Table {
    std::optional<std::string> doc;
    std::string name;
    Expr expr;
};
struct Column {
    std::optional<std::string> doc;
    std::optional<TableName> table;
    std::string name;
    Expr expr;
};
struct Function {
    std::optional<std::string> doc;
    std::string name;
    std::vector<FuncParam> params;
    Expr body;
};

}  // namespace definition

using Definition = std::variant<definition::Measure, definition::Var, definition::Table, definition::Column,
                                definition::Function>;

struct DefineBlock {
    std::vector<Definition> defs;
};

enum class SortDirection : std::uint8_t { Asc, Desc };

struct OrderKey {
    Expr expr;
    SortDirection direction = SortDirection::Asc;
};

struct EvaluateStmt {
    Expr expr;
    std::vector<OrderKey> order_by;
    std::optional<std::vector<Expr>> start_at;
};

struct Query {
    std::optional<DefineBlock> define;
    std::vector<EvaluateStmt> evaluates;
};

}  // namespace dax
