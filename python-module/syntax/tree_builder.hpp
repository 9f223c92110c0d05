// Builds the Python objects of a parsed tree straight from the C++ tree, with
// no JSON in between. Expression trees are built with a work list: a chain of
// a million operators is a million levels deep.
#pragma once

#include <vector>

#include "dax_parser/expr.hpp"
#include "dax_parser/query.hpp"
#include "dax_parser/token.hpp"
#include "node_classes.hpp"

namespace dax::python {

class TreeBuilder {
public:
    // `source` is the bytes object of the UTF-8 input; every object made
    // keeps a reference to it, for its `text`. With `release_as_built`, the
    // trees given are the caller's to dismantle: the children of each
    // expression are freed once its object is made, so that a large tree is
    // never held twice (as C++ nodes and as Python objects).
    explicit TreeBuilder(PyObject* source, bool release_as_built = false) noexcept
        : source_(source), release_(release_as_built) {}
    ~TreeBuilder();
    TreeBuilder(const TreeBuilder&) = delete;
    TreeBuilder& operator=(const TreeBuilder&) = delete;

    // New references, or null with an exception set.
    PyObject* expr(const Expr& root);
    PyObject* query(const Query& query);
    // A model's function: `name` is the model's name for it.
    PyObject* function(const definition::Function& function, std::string_view name);
    // The tokens before Eof, as a list.
    PyObject* tokens(const TokenVector& tokens);

private:
    PyObject* finish(const Expr& e);
    PyObject* table_name(const TableName& table);
    PyObject* definition(const Definition& definition);
    PyObject* evaluate(const EvaluateStmt& stmt);
    PyObject* order_keys(const std::vector<OrderKey>& keys);
    PyObject* visual_shape(const VisualShape& shape);
    PyObject* param(const FuncParam& param);
    PyObject* expr_list(const std::vector<Expr>& exprs);
    // The last `n` built values as a tuple, taken off the value stack.
    PyObject* take_tuple(std::size_t n);
    PyObject* pop() noexcept;
    PyObject* make(NodeKind kind, Span span, std::initializer_list<PyObject*> fields);

    PyObject* source_;
    bool release_;
    std::size_t released_ = 0;  // nodes whose children were freed
    // Objects built but not yet taken by their parent: owned references.
    std::vector<PyObject*> values_;
};

}  // namespace dax::python
