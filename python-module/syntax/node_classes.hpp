// The Python classes of the syntax tree, as the syntax package registers
// them, and the one way this module makes their instances: allocate, place,
// fill each field through its slot descriptor. No __init__ runs, so a node
// costs one allocation and a few stores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "located.hpp"

namespace dax::python {

// Every class the module makes, with its fields in declaration order. The
// Python classes must have exactly these slots (register_classes checks).
#define DAX_NODE_KINDS(X)                                       \
    X(Number, "value")                                          \
    X(String, "value")                                          \
    X(Boolean, "value")                                         \
    X(Blank)                                                    \
    X(Parameter, "name")                                        \
    X(Identifier, "name")                                       \
    X(TableRef, "table")                                        \
    X(BracketRef, "name")                                       \
    X(TableColumnRef, "table", "column")                        \
    X(HierarchyRef, "table", "column", "levels")                \
    X(FunctionCall, "name", "args")                             \
    X(Unary, "op", "expr")                                      \
    X(Binary, "op", "left", "right")                            \
    X(VarBlock, "decls", "body")                                \
    X(TableConstructor, "rows")                                 \
    X(Paren, "expr")                                            \
    X(Omitted)                                                  \
    X(TypedLiteral, "prefix", "value")                          \
    X(RowConstructor, "items")                                  \
    X(Axis, "words")                                            \
    X(TableName, "name", "quoted")                              \
    X(VarDecl, "name", "expr")                                  \
    X(Query, "define", "evaluates")                             \
    X(DefineBlock, "defs")                                      \
    X(Measure, "doc", "table", "name", "expr")                  \
    X(Var, "doc", "name", "expr")                               \
    X(Table, "doc", "name", "expr", "visual_shape")             \
    X(Column, "doc", "table", "name", "expr")                   \
    X(Function, "doc", "name", "params", "body")                \
    X(MParameter, "doc", "name", "expr")                        \
    X(FuncParam, "name", "type_hints", "default")               \
    X(Evaluate, "expr", "order_by", "start_at")                 \
    X(OrderKey, "expr", "direction")                            \
    X(VisualShape, "axes", "densify")                           \
    X(VisualAxis, "name", "groups", "order_by")                 \
    X(VisualGroup, "columns", "total")                          \
    X(Token, "kind")

enum class NodeKind : std::uint8_t {
#define DAX_NODE_KIND_ENTRY(name, ...) name,
    DAX_NODE_KINDS(DAX_NODE_KIND_ENTRY)
#undef DAX_NODE_KIND_ENTRY
};

inline constexpr std::size_t max_node_fields = 4;

// Takes the classes from `classes` (a dict of name to class) and `span_class`.
// Returns 0, or -1 with an exception set; a second call replaces the first.
int register_classes(PyObject* span_class, PyObject* classes);

// True once register_classes has succeeded.
bool classes_registered() noexcept;

// The kind whose registered class is exactly the type of `object`, or
// nothing. (Additions for readers of nodes made in Python or here.)
std::optional<NodeKind> kind_of_node(PyObject* object) noexcept;

// The kind whose registered class is `type`, or nothing.
std::optional<NodeKind> kind_of_class(const PyTypeObject* type) noexcept;

// How many fields the class of `kind` has.
std::size_t node_field_count(NodeKind kind) noexcept;

// Field `index` (in declaration order) of `node`, an instance of the class
// registered for `kind`: a new reference, or null with an exception set.
PyObject* node_field(PyObject* node, NodeKind kind, std::size_t index);

// A new instance of `kind` at `span` in `source` (null: an object built in
// code, with no position), its fields set from
// `fields` in declaration order: owned references, each consumed whether or
// not the call succeeds. A null field means its creation failed, and makes
// the call fail (the exception is already set).
PyObject* make_node(NodeKind kind, PyObject* source, Span span, PyObject* const* fields);

}  // namespace dax::python
