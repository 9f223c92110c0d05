// The C++ tree to Python objects, bottom up.
#include "tree_builder.hpp"

#include <array>
#include <string_view>

namespace dax::python {

namespace {

PyObject* str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* str_or_none(const std::optional<std::string>& text) {
    if (!text) Py_RETURN_NONE;
    return str(*text);
}

// Interned names of operators, sort directions and token kinds: made once,
// kept for the life of the process, handed out with a new reference each.
template <std::size_t N>
class NameTable {
public:
    template <class Name>
    PyObject* get(std::size_t index, Name name) {
        PyObject*& slot = names_[index];
        if (slot == nullptr) {
            slot = str(name());
            if (slot == nullptr) return nullptr;
            PyUnicode_InternInPlace(&slot);
        }
        Py_INCREF(slot);
        return slot;
    }

private:
    std::array<PyObject*, N> names_{};
};

NameTable<3> unary_names;
NameTable<16> binary_names;
NameTable<2> direction_names;
NameTable<token_kind_count> token_names;

PyObject* unary_name(UnaryOp op) {
    return unary_names.get(static_cast<std::size_t>(op), [op] { return unary_op_name(op); });
}
PyObject* binary_name(BinaryOp op) {
    return binary_names.get(static_cast<std::size_t>(op), [op] { return binary_op_name(op); });
}
PyObject* direction_name(SortDirection direction) {
    return direction_names.get(static_cast<std::size_t>(direction), [direction] {
        return direction == SortDirection::Desc ? std::string_view("Desc") : std::string_view("Asc");
    });
}
PyObject* token_name(TokenKind kind) {
    return token_names.get(static_cast<std::size_t>(kind), [kind] { return token_kind_name(kind); });
}

PyObject* new_bool(bool value) {
    PyObject* object = value ? Py_True : Py_False;
    Py_INCREF(object);
    return object;
}

PyObject* none() { Py_RETURN_NONE; }

PyObject* strings(const std::vector<std::string>& texts) {
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
    for (std::size_t i = 0; tuple && i < texts.size(); ++i) {
        PyObject* text = str(texts[i]);
        if (text == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), text);
    }
    return tuple.release();
}

}  // namespace

TreeBuilder::~TreeBuilder() {
    for (PyObject* value : values_) Py_DECREF(value);
}

PyObject* TreeBuilder::make(NodeKind kind, Span span, std::initializer_list<PyObject*> fields) {
    return make_node(kind, source_, span, fields.begin());
}

PyObject* TreeBuilder::pop() noexcept {
    PyObject* value = values_.back();
    values_.pop_back();
    return value;
}

PyObject* TreeBuilder::take_tuple(std::size_t n) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (tuple == nullptr) return nullptr;
    const std::size_t first = values_.size() - n;
    for (std::size_t i = 0; i < n; ++i) PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), values_[first + i]);
    values_.resize(first);
    return tuple;
}

PyObject* TreeBuilder::table_name(const TableName& table) {
    return make(NodeKind::TableName, table.span, {str(table.name), new_bool(table.quoted)});
}

PyObject* TreeBuilder::expr(const Expr& root) {
    // Post-order: a node is made once all its children are made and waiting,
    // in source order, at the top of the value stack.
    struct Frame {
        const Expr* expr;
        bool expanded;
    };
    std::vector<Frame> frames{{&root, false}};
    std::vector<const Expr*> children;
    while (!frames.empty()) {
        Frame& top = frames.back();
        const Expr* e = top.expr;
        if (!top.expanded) {
            children.clear();
            for_each_child(*e, [&children](const Expr& child) { children.push_back(&child); });
            if (!children.empty()) {
                top.expanded = true;
                for (auto child = children.rbegin(); child != children.rend(); ++child) frames.push_back({*child, false});
                continue;
            }
        }
        frames.pop_back();
        PyObject* node = finish(*e);
        if (node == nullptr) return nullptr;
        values_.push_back(node);
    }
    return pop();
}

PyObject* TreeBuilder::finish(const Expr& e) {
    const Span span = e.span;
    return std::visit(
        [&](const auto& held) -> PyObject* {
            using Held = std::remove_cvref_t<decltype(held)>;
            if constexpr (std::is_same_v<Held, node::Number>) {
                return make(NodeKind::Number, span, {str(held.text)});
            } else if constexpr (std::is_same_v<Held, node::String>) {
                return make(NodeKind::String, span, {str(held.text)});
            } else if constexpr (std::is_same_v<Held, node::Boolean>) {
                return make(NodeKind::Boolean, span, {new_bool(held.value)});
            } else if constexpr (std::is_same_v<Held, node::Blank>) {
                return make(NodeKind::Blank, span, {});
            } else if constexpr (std::is_same_v<Held, node::Parameter>) {
                return make(NodeKind::Parameter, span, {str(held.name)});
            } else if constexpr (std::is_same_v<Held, node::Identifier>) {
                return make(NodeKind::Identifier, span, {str(held.name)});
            } else if constexpr (std::is_same_v<Held, Boxed<node::TableRef>>) {
                return make(NodeKind::TableRef, span, {table_name(held->table)});
            } else if constexpr (std::is_same_v<Held, node::BracketRef>) {
                return make(NodeKind::BracketRef, span, {str(held.name)});
            } else if constexpr (std::is_same_v<Held, Boxed<node::TableColumnRef>>) {
                return make(NodeKind::TableColumnRef, span, {table_name(held->table), str(held->column)});
            } else if constexpr (std::is_same_v<Held, Boxed<node::HierarchyRef>>) {
                return make(NodeKind::HierarchyRef, span,
                            {table_name(held->table), str(held->column), strings(held->levels)});
            } else if constexpr (std::is_same_v<Held, Boxed<node::FunctionCall>>) {
                PyObject* args = take_tuple(held->args.size());
                return make(NodeKind::FunctionCall, span, {str(held->name), args});
            } else if constexpr (std::is_same_v<Held, node::Unary>) {
                PyObject* operand = pop();
                return make(NodeKind::Unary, span, {unary_name(held.op), operand});
            } else if constexpr (std::is_same_v<Held, node::Binary>) {
                PyObject* right = pop();
                PyObject* left = pop();
                return make(NodeKind::Binary, span, {binary_name(held.op), left, right});
            } else if constexpr (std::is_same_v<Held, node::VarBlock>) {
                PyObject* body = pop();
                // The values wait below the body; each becomes its VarDecl in place.
                const std::size_t first = values_.size() - held.decls.size();
                for (std::size_t i = 0; i < held.decls.size(); ++i) {
                    const VarDecl& decl = held.decls[i];
                    PyObject* value = std::exchange(values_[first + i], nullptr);
                    values_[first + i] = make(NodeKind::VarDecl, decl.span, {str(decl.name), value});
                    if (values_[first + i] == nullptr) {
                        // Leave no null behind for the destructor.
                        for (std::size_t j = first + i + 1; j < values_.size(); ++j) Py_DECREF(values_[j]);
                        values_.resize(first + i);
                        Py_DECREF(body);
                        return nullptr;
                    }
                }
                PyObject* decls = take_tuple(held.decls.size());
                return make(NodeKind::VarBlock, span, {decls, body});
            } else if constexpr (std::is_same_v<Held, node::TableConstructor>) {
                // Rows are cut off the value stack from the last one back.
                Ref rows(PyTuple_New(static_cast<Py_ssize_t>(held.rows.size())));
                if (!rows) return nullptr;
                for (std::size_t r = held.rows.size(); r-- > 0;) {
                    PyObject* row = take_tuple(held.rows[r].size());
                    if (row == nullptr) return nullptr;
                    PyTuple_SetItem(rows.get(), static_cast<Py_ssize_t>(r), row);
                }
                return make(NodeKind::TableConstructor, span, {rows.release()});
            } else if constexpr (std::is_same_v<Held, node::Paren>) {
                return make(NodeKind::Paren, span, {pop()});
            } else if constexpr (std::is_same_v<Held, node::Omitted>) {
                return make(NodeKind::Omitted, span, {});
            } else if constexpr (std::is_same_v<Held, Boxed<node::TypedLiteral>>) {
                return make(NodeKind::TypedLiteral, span, {str(held->prefix), str(held->value)});
            } else if constexpr (std::is_same_v<Held, node::RowConstructor>) {
                return make(NodeKind::RowConstructor, span, {take_tuple(held.items.size())});
            } else {
                static_assert(std::is_same_v<Held, node::Axis>, "every variant is built");
                return make(NodeKind::Axis, span, {strings(held.words)});
            }
        },
        e.v);
}

PyObject* TreeBuilder::expr_list(const std::vector<Expr>& exprs) {
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(exprs.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < exprs.size(); ++i) {
        PyObject* item = expr(exprs[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

PyObject* TreeBuilder::definition(const Definition& def) {
    return std::visit(
        [&](const auto& d) -> PyObject* {
            using D = std::remove_cvref_t<decltype(d)>;
            PyObject* doc = str_or_none(d.doc);
            if constexpr (std::is_same_v<D, definition::Measure>) {
                return make(NodeKind::Measure, d.span,
                            {doc, d.table ? table_name(*d.table) : none(), str(d.name), expr(d.expr)});
            } else if constexpr (std::is_same_v<D, definition::Column>) {
                return make(NodeKind::Column, d.span,
                            {doc, d.table ? table_name(*d.table) : none(), str(d.name), expr(d.expr)});
            } else if constexpr (std::is_same_v<D, definition::Var>) {
                return make(NodeKind::Var, d.span, {doc, str(d.name), expr(d.expr)});
            } else if constexpr (std::is_same_v<D, definition::Table>) {
                PyObject* shape = d.visual_shape ? visual_shape(*d.visual_shape) : none();
                return make(NodeKind::Table, d.span, {doc, str(d.name), expr(d.expr), shape});
            } else if constexpr (std::is_same_v<D, definition::MParameter>) {
                return make(NodeKind::MParameter, d.span, {doc, str(d.name), expr(d.expr)});
            } else {
                static_assert(std::is_same_v<D, definition::Function>, "every definition is built");
                Py_DECREF(doc);
                return function(d, d.name);
            }
        },
        def);
}

PyObject* TreeBuilder::param(const FuncParam& param) {
    PyObject* value = param.default_value ? expr(*param.default_value) : none();
    return make(NodeKind::FuncParam, param.span, {str(param.name), strings(param.type_hints), value});
}

PyObject* TreeBuilder::function(const definition::Function& d, std::string_view name) {
    Ref params(PyTuple_New(static_cast<Py_ssize_t>(d.params.size())));
    for (std::size_t i = 0; params && i < d.params.size(); ++i) {
        PyObject* made = param(d.params[i]);
        if (made == nullptr) params.reset(nullptr);
        else PyTuple_SetItem(params.get(), static_cast<Py_ssize_t>(i), made);
    }
    return make(NodeKind::Function, d.span, {str_or_none(d.doc), str(name), params.release(), expr(d.body)});
}

PyObject* TreeBuilder::order_keys(const std::vector<OrderKey>& keys) {
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(keys.size())));
    for (std::size_t i = 0; tuple && i < keys.size(); ++i) {
        const OrderKey& key = keys[i];
        PyObject* made = make(NodeKind::OrderKey, key.span, {expr(key.expr), direction_name(key.direction)});
        if (made == nullptr) tuple.reset(nullptr);
        else PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), made);
    }
    return tuple.release();
}

PyObject* TreeBuilder::visual_shape(const VisualShape& shape) {
    Ref axes(PyTuple_New(static_cast<Py_ssize_t>(shape.axes.size())));
    for (std::size_t a = 0; axes && a < shape.axes.size(); ++a) {
        const VisualAxis& axis = shape.axes[a];
        Ref groups(PyTuple_New(static_cast<Py_ssize_t>(axis.groups.size())));
        for (std::size_t g = 0; groups && g < axis.groups.size(); ++g) {
            const VisualGroup& group = axis.groups[g];
            PyObject* total = group.total ? expr(*group.total) : none();
            PyObject* made = make(NodeKind::VisualGroup, group.span, {expr_list(group.columns), total});
            if (made == nullptr) groups.reset(nullptr);
            else PyTuple_SetItem(groups.get(), static_cast<Py_ssize_t>(g), made);
        }
        PyObject* made =
            make(NodeKind::VisualAxis, axis.span, {str(axis.name), groups.release(), order_keys(axis.order_by)});
        if (made == nullptr) axes.reset(nullptr);
        else PyTuple_SetItem(axes.get(), static_cast<Py_ssize_t>(a), made);
    }
    return make(NodeKind::VisualShape, shape.span, {axes.release(), str_or_none(shape.densify)});
}

PyObject* TreeBuilder::evaluate(const EvaluateStmt& stmt) {
    PyObject* main = expr(stmt.expr);
    PyObject* order_by = order_keys(stmt.order_by);
    PyObject* start_at = stmt.start_at ? expr_list(*stmt.start_at) : none();
    return make(NodeKind::Evaluate, stmt.span, {main, order_by, start_at});
}

PyObject* TreeBuilder::query(const Query& q) {
    Ref define;
    if (q.define) {
        Ref defs(PyTuple_New(static_cast<Py_ssize_t>(q.define->defs.size())));
        for (std::size_t i = 0; defs && i < q.define->defs.size(); ++i) {
            PyObject* made = definition(q.define->defs[i]);
            if (made == nullptr) defs.reset(nullptr);
            else PyTuple_SetItem(defs.get(), static_cast<Py_ssize_t>(i), made);
        }
        define.reset(make(NodeKind::DefineBlock, q.define->span, {defs.release()}));
        if (!define) return nullptr;
    } else {
        define.reset(none());
    }
    Ref evaluates(PyTuple_New(static_cast<Py_ssize_t>(q.evaluates.size())));
    for (std::size_t i = 0; evaluates && i < q.evaluates.size(); ++i) {
        PyObject* made = evaluate(q.evaluates[i]);
        if (made == nullptr) evaluates.reset(nullptr);
        else PyTuple_SetItem(evaluates.get(), static_cast<Py_ssize_t>(i), made);
    }
    return make(NodeKind::Query, q.span, {define.release(), evaluates.release()});
}

PyObject* TreeBuilder::tokens(const TokenVector& tokens) {
    const std::size_t count = tokens.empty() ? 0 : tokens.size() - 1;  // Eof is left out
    Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* token = make(NodeKind::Token, tokens[i].span, {token_name(tokens[i].kind)});
        if (token == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), token);
    }
    return list.release();
}

}  // namespace dax::python
