// Finding the references of a tree: one pre-order walk with a work list,
// keeping the variables and parameters in scope on a stack of bindings.
#include "references.hpp"

#include <algorithm>
#include <array>
#include <type_traits>
#include <variant>

#include "dax_parser/lexer.hpp"

namespace dax::refs {

namespace {

constexpr std::array<std::string_view, reference_kind_count> kind_names = {
#define DAX_REFERENCE_KIND_NAME(name, text) text,
    DAX_REFERENCE_KINDS(DAX_REFERENCE_KIND_NAME)
#undef DAX_REFERENCE_KIND_NAME
};

char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// DAX names are case-insensitive. Letters beyond ASCII are compared as
// written: a variable spelt with a different case of a non-ASCII letter is
// taken for another name, and is then reported rather than silently bound.
bool same_name(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

bool is_ascii_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The offset of the first byte at or after `pos` that is neither ASCII white
// space nor inside a comment (`--`, `//` and `///` to the end of the line,
// `/* */`).
std::size_t skip_ascii_trivia(std::string_view text, std::size_t pos) noexcept {
    while (pos < text.size()) {
        const char c = text[pos];
        if (is_ascii_space(c)) {
            ++pos;
        } else if ((c == '-' || c == '/') && pos + 1 < text.size() && text[pos + 1] == c) {
            const std::size_t end = text.find('\n', pos);
            pos = end == std::string_view::npos ? text.size() : end;
        } else if (c == '/' && pos + 1 < text.size() && text[pos + 1] == '*') {
            const std::size_t end = text.find("*/", pos + 2);
            pos = end == std::string_view::npos ? text.size() : end + 2;
        } else {
            break;
        }
    }
    return pos;
}

// The span of a variable's name in `source`: the second name token (after
// VAR, and after any doc comments) of the text from `from` to `until`, the
// start of its value, read by the lexer so that comments and any white space
// the lexer accepts fall where they do in the tree. `fallback` (the whole
// declaration) when the text there is not that, which a tree from this
// parser never gives but a mismatch must not misplace.
Span variable_name(std::string_view source, std::size_t from, std::size_t until, std::string_view name,
                   Span fallback) {
    if (from > until || until > source.size()) return fallback;
    // Most declarations have only ASCII white space and comments around the
    // name: found by a scan, without the lexer's token list.
    std::size_t pos = skip_ascii_trivia(source, from);
    constexpr std::string_view keyword = "VAR";
    if (pos + keyword.size() <= source.size() && same_name(source.substr(pos, keyword.size()), keyword)) {
        pos = skip_ascii_trivia(source, pos + keyword.size());
        if (pos + name.size() <= until && source.substr(pos, name.size()) == name) return Span{pos, pos + name.size()};
    }
    auto tokens = Lexer(source.substr(from, until - from), default_dialect).lex_all();
    if (!tokens) return fallback;
    bool keyword_seen = false;
    for (const Token& token : tokens.value()) {
        if (token.kind == TokenKind::DocComment) continue;
        if (!keyword_seen) {
            keyword_seen = true;
            continue;
        }
        const Span span{from + token.span.start, from + token.span.end};
        if (token.kind != TokenKind::Ident || source.substr(span.start, span.end - span.start) != name) break;
        return span;
    }
    return fallback;
}

// The span of a parameter's name, where its declaration starts.
Span parameter_name(std::string_view source, const FuncParam& param) {
    const std::size_t start = param.span.start;
    if (start + param.name.size() > source.size() || source.substr(start, param.name.size()) != param.name)
        return param.span;
    return Span{start, start + param.name.size()};
}

class Collector {
public:
    explicit Collector(std::string_view source) : source_(source) {}

    // Walks `root` and everything below it; the bindings it makes are gone
    // when it returns.
    void walk(const Expr& root, std::size_t parent = no_index, std::size_t argument = no_index);

    // A definition whose scope is the rest of a query (DEFINE VAR).
    std::size_t define(ReferenceKind kind, Span span, std::string_view name) {
        return add(Reference{.kind = kind, .span = span, .name = name});
    }
    void bind(std::string_view name, std::size_t definition) { scope_.push_back({name, definition}); }
    void unbind(std::size_t count) { scope_.resize(scope_.size() - count); }

    std::size_t add(const Reference& reference) {
        refs_.push_back(reference);
        return refs_.size() - 1;
    }

    // The definition that a name means here, or no_index.
    std::size_t lookup(std::string_view name) const noexcept {
        for (auto binding = scope_.rbegin(); binding != scope_.rend(); ++binding)
            if (same_name(binding->name, name)) return binding->definition;
        return no_index;
    }

    std::vector<Reference> take() { return std::move(refs_); }
    std::string_view source() const noexcept { return source_; }

private:
    struct Binding {
        std::string_view name;
        std::size_t definition;
    };
    // A step of the walk: visit an expression (in the call and argument it
    // stands in), emit a variable's definition, bring it into scope once its
    // value has been walked, or drop a block's variables after its body.
    struct Step {
        enum class Op : std::uint8_t { Visit, Define, Bind, Unbind } op = Op::Visit;
        const Expr* expr = nullptr;
        const VarDecl* decl = nullptr;
        std::size_t parent = no_index;
        std::size_t argument = no_index;
        std::size_t count = 0;
    };

    void visit(const Expr& e, std::size_t parent, std::size_t argument, std::vector<Step>& steps);

    std::string_view source_;
    std::vector<Reference> refs_;
    std::vector<Binding> scope_;
    // Variables defined whose values are being walked: they come into scope
    // after them. Blocks nest, so the latest is bound first.
    std::vector<std::size_t> pending_;
};

void Collector::walk(const Expr& root, std::size_t parent, std::size_t argument) {
    std::vector<Step> steps;
    steps.push_back(Step{.op = Step::Op::Visit, .expr = &root, .parent = parent, .argument = argument});
    while (!steps.empty()) {
        const Step step = steps.back();
        steps.pop_back();
        switch (step.op) {
            case Step::Op::Visit:
                visit(*step.expr, step.parent, step.argument, steps);
                break;
            case Step::Op::Define: {
                const VarDecl& decl = *step.decl;
                const Span span = variable_name(source_, decl.span.start, decl.expr.span.start, decl.name, decl.span);
                pending_.push_back(add(Reference{.kind = ReferenceKind::Variable,
                                                 .span = span,
                                                 .name = decl.name,
                                                 .parent = step.parent,
                                                 .argument = step.argument}));
                break;
            }
            case Step::Op::Bind:
                bind(step.decl->name, pending_.back());
                pending_.pop_back();
                break;
            case Step::Op::Unbind:
                unbind(step.count);
                break;
        }
    }
}

// Emits the reference `e` is, if any, and schedules its children. Steps are
// taken from the back, so children are pushed last one first.
void Collector::visit(const Expr& e, std::size_t parent, std::size_t argument, std::vector<Step>& steps) {
    auto push = [&](const Expr& child, std::size_t child_parent, std::size_t child_argument) {
        steps.push_back(
            Step{.op = Step::Op::Visit, .expr = &child, .parent = child_parent, .argument = child_argument});
    };
    const Reference here{.span = e.span, .parent = parent, .argument = argument};
    if (const auto* call = e.as<node::FunctionCall>()) {
        Reference ref = here;
        ref.kind = ReferenceKind::Function;
        ref.name = call->name;
        const std::size_t index = add(ref);
        for (std::size_t i = call->args.size(); i-- > 0;) push(call->args[i], index, i);
    } else if (const auto* identifier = e.as<node::Identifier>()) {
        Reference ref = here;
        ref.name = identifier->name;
        ref.target = lookup(identifier->name);
        if (ref.target == no_index) ref.kind = ReferenceKind::Table;
        else if (refs_[ref.target].kind == ReferenceKind::Parameter) ref.kind = ReferenceKind::ParameterUse;
        else ref.kind = ReferenceKind::VariableUse;
        add(ref);
    } else if (const auto* table = e.as<node::TableRef>()) {
        Reference ref = here;
        ref.kind = ReferenceKind::Table;
        ref.name = table->table.name;
        add(ref);
    } else if (const auto* column = e.as<node::TableColumnRef>()) {
        Reference ref = here;
        ref.kind = ReferenceKind::Column;
        ref.name = column->column;
        ref.table = column->table.name;
        ref.has_table = true;
        // A quoted name is always a table; a plain one may be a table variable.
        if (!column->table.quoted) ref.target = lookup(column->table.name);
        add(ref);
    } else if (const auto* hierarchy = e.as<node::HierarchyRef>()) {
        Reference ref = here;
        ref.kind = ReferenceKind::Hierarchy;
        ref.name = hierarchy->column;
        ref.table = hierarchy->table.name;
        ref.has_table = true;
        ref.levels = &hierarchy->levels;
        if (!hierarchy->table.quoted) ref.target = lookup(hierarchy->table.name);
        add(ref);
    } else if (const auto* bracket = e.as<node::BracketRef>()) {
        Reference ref = here;
        ref.kind = ReferenceKind::Bracket;
        ref.name = bracket->name;
        add(ref);
    } else if (const auto* param = e.as<node::Parameter>()) {
        Reference ref = here;
        ref.kind = ReferenceKind::QueryParameter;
        ref.name = param->name;
        add(ref);
    } else if (const auto* block = e.as<node::VarBlock>()) {
        // Each VAR sees those before it; the body sees them all.
        steps.push_back(Step{.op = Step::Op::Unbind, .count = block->decls.size()});
        push(*block->body, parent, argument);
        for (std::size_t i = block->decls.size(); i-- > 0;) {
            const VarDecl& decl = block->decls[i];
            steps.push_back(Step{.op = Step::Op::Bind, .decl = &decl});
            push(decl.expr, parent, argument);
            steps.push_back(Step{.op = Step::Op::Define, .decl = &decl, .parent = parent, .argument = argument});
        }
    } else {
        // Operators, parentheses, table and row constructors: their operands
        // stand in the same call and argument.
        const std::size_t first = steps.size();
        for_each_child(e, [&](const Expr& child) { push(child, parent, argument); });
        std::reverse(steps.begin() + static_cast<std::ptrdiff_t>(first), steps.end());
    }
}

void walk_function(Collector& collector, const definition::Function& function) {
    // Defaults are read where the function is defined: the parameters are in
    // scope only in the body.
    std::vector<std::size_t> definitions;
    definitions.reserve(function.params.size());
    for (const FuncParam& param : function.params) {
        definitions.push_back(
            collector.define(ReferenceKind::Parameter, parameter_name(collector.source(), param), param.name));
        if (param.default_value) collector.walk(*param.default_value);
    }
    for (std::size_t i = 0; i < function.params.size(); ++i) collector.bind(function.params[i].name, definitions[i]);
    collector.walk(function.body);
    collector.unbind(function.params.size());
}

void walk_order_keys(Collector& collector, const std::vector<OrderKey>& keys) {
    for (const OrderKey& key : keys) collector.walk(key.expr);
}

}  // namespace

std::string_view reference_kind_name(ReferenceKind kind) noexcept { return kind_names[static_cast<std::size_t>(kind)]; }

std::vector<Reference> expression_references(const Expr& root, std::string_view source) {
    Collector collector(source);
    collector.walk(root);
    return collector.take();
}

std::vector<Reference> function_references(const definition::Function& function, std::string_view source) {
    Collector collector(source);
    walk_function(collector, function);
    return collector.take();
}

std::vector<Reference> query_references(const Query& query, std::string_view source) {
    Collector collector(source);
    std::size_t query_variables = 0;
    if (query.define) {
        for (const Definition& definition : query.define->defs) {
            std::visit(
                [&](const auto& d) {
                    using D = std::remove_cvref_t<decltype(d)>;
                    if constexpr (std::is_same_v<D, definition::Var>) {
                        // Seen by the definitions after it and by every EVALUATE.
                        const Span span = variable_name(source, d.span.start, d.expr.span.start, d.name, d.span);
                        const std::size_t index = collector.define(ReferenceKind::Variable, span, d.name);
                        collector.walk(d.expr);
                        collector.bind(d.name, index);
                        ++query_variables;
                    } else if constexpr (std::is_same_v<D, definition::Function>) {
                        collector.define(ReferenceKind::FunctionDefinition, d.span, d.name);
                        walk_function(collector, d);
                    } else {
                        Reference ref{.span = d.span, .name = d.name};
                        if constexpr (std::is_same_v<D, definition::Table>) {
                            ref.kind = ReferenceKind::TableDefinition;
                        } else if constexpr (std::is_same_v<D, definition::MParameter>) {
                            // A name of the model's M queries: no DAX refers to it.
                            ref.kind = ReferenceKind::MParameterDefinition;
                        } else {
                            ref.kind = std::is_same_v<D, definition::Measure> ? ReferenceKind::MeasureDefinition
                                                                              : ReferenceKind::ColumnDefinition;
                            if (d.table) {
                                ref.table = d.table->name;
                                ref.has_table = true;
                            }
                        }
                        collector.add(ref);
                        collector.walk(d.expr);
                        if constexpr (std::is_same_v<D, definition::Table>) {
                            if (d.visual_shape) {
                                for (const VisualAxis& axis : d.visual_shape->axes) {
                                    for (const VisualGroup& group : axis.groups) {
                                        for (const Expr& column : group.columns) collector.walk(column);
                                        if (group.total) collector.walk(*group.total);
                                    }
                                    walk_order_keys(collector, axis.order_by);
                                }
                            }
                        }
                    }
                },
                definition);
        }
    }
    for (const EvaluateStmt& evaluate : query.evaluates) {
        collector.walk(evaluate.expr);
        walk_order_keys(collector, evaluate.order_by);
        if (evaluate.start_at)
            for (const Expr& value : *evaluate.start_at) collector.walk(value);
    }
    collector.unbind(query_variables);
    return collector.take();
}

}  // namespace dax::refs
