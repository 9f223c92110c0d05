// Tree fingerprints: names normalised in place (and put back after), then
// the JSON writer, then what only the engine grammar reads and the JSON
// leaves out.
#include "fingerprint.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace dax::fingerprint {

namespace {

bool is_ascii(std::string_view text) noexcept {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

void upper_ascii(std::string& text) noexcept {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

// The names in upper case.
std::string upper_of(std::string_view name) {
    std::string upper(name);
    upper_ascii(upper);
    return upper;
}

// Puts the names that the formatter may print in another case in upper case,
// in place, walking each expression with a work list, and puts them back as
// they were when it is done: the caller's tree is lent, not changed. It
// collects the names the tree declares on the way, when asked to.
class Normalizer {
public:
    Normalizer(const Names& names, NameSet* declared) : names_(names), declared_(declared) {}
    ~Normalizer() {
        for (auto entry = renamed_.rbegin(); entry != renamed_.rend(); ++entry) entry->first->swap(entry->second);
    }
    Normalizer(const Normalizer&) = delete;
    Normalizer& operator=(const Normalizer&) = delete;

    // Upper-cases the built-in function names, their keyword arguments and
    // Axis words of every expression below `root`, and notes the names of
    // the variables declared there.
    // for_each_child hands out const references; the tree is the caller's to
    // change, hence the casts.
    void expression(Expr& root) {
        work_.push_back(&root);
        while (!work_.empty()) {
            Expr* e = work_.back();
            work_.pop_back();
            if (const auto* block = e->as<node::VarBlock>()) {
                for (const VarDecl& decl : block->decls) declare(decl.name);
            } else if (auto* call = e->as<node::FunctionCall>()) {
                std::string upper = is_ascii(call->name) ? upper_of(call->name) : std::string();
                if (!upper.empty() && names_.builtins.find(upper) != names_.builtins.end()) {
                    if (upper != call->name) rename(call->name, std::move(upper));
                    for (Expr& arg : call->args) {
                        auto* bare = arg.as<node::Identifier>();
                        const std::string* keyword = bare ? keyword_upper(bare->name, names_) : nullptr;
                        if (keyword != nullptr && *keyword != bare->name) rename(bare->name, *keyword);
                    }
                }
            } else if (auto* axis = e->as<node::Axis>()) {
                for (std::string& word : axis->words) rename_upper(word);
            }
            for_each_child(*e, [this](const Expr& child) { work_.push_back(const_cast<Expr*>(&child)); });
        }
    }

    void keys(std::vector<OrderKey>& keys) {
        for (OrderKey& key : keys) expression(key.expr);
    }

    void function(definition::Function& function) {
        for (FuncParam& param : function.params) {
            declare(param.name);
            if (param.default_value) expression(*param.default_value);
        }
        expression(function.body);
    }

    void query(Query& query) {
        if (query.define) {
            for (Definition& def : query.define->defs) {
                std::visit(
                    [&](auto& d) {
                        using D = std::remove_cvref_t<decltype(d)>;
                        if constexpr (std::is_same_v<D, definition::Function>) {
                            function(d);
                        } else {
                            if constexpr (std::is_same_v<D, definition::Var> || std::is_same_v<D, definition::Table>)
                                declare(d.name);
                            expression(d.expr);
                            if constexpr (std::is_same_v<D, definition::Table>) {
                                if (!d.visual_shape) return;
                                for (VisualAxis& axis : d.visual_shape->axes) {
                                    rename_upper(axis.name);
                                    for (VisualGroup& group : axis.groups) {
                                        for (Expr& column : group.columns) expression(column);
                                        if (group.total) expression(*group.total);
                                    }
                                    keys(axis.order_by);
                                }
                            }
                        }
                    },
                    def);
            }
        }
        for (EvaluateStmt& stmt : query.evaluates) {
            expression(stmt.expr);
            keys(stmt.order_by);
            if (stmt.start_at)
                for (Expr& value : *stmt.start_at) expression(value);
        }
    }

private:
    void rename(std::string& field, std::string name) {
        renamed_.emplace_back(&field, std::move(name));
        field.swap(renamed_.back().second);
    }
    void rename_upper(std::string& field) {
        std::string upper = upper_of(field);
        if (upper != field) rename(field, std::move(upper));
    }
    void declare(std::string_view name) {
        if (declared_ != nullptr) declared_->insert(upper_of(name));
    }

    const Names& names_;
    NameSet* declared_;
    std::vector<Expr*> work_;
    std::vector<std::pair<std::string*, std::string>> renamed_;  // each field, and what it held
};

void write_optional_expr(json::Buffer& out, const std::optional<Expr>& expr) {
    if (expr) json::write_expr(out, *expr);
    else out.append("null");
}

void write_optional_string(json::Buffer& out, const std::optional<std::string>& text) {
    if (text) json::write_string(out, *text);
    else out.append("null");
}

void write_keys(json::Buffer& out, const std::vector<OrderKey>& keys) {
    out.push('[');
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i != 0) out.push(',');
        out.append("{\"expr\":");
        json::write_expr(out, keys[i].expr);
        out.append(keys[i].direction == SortDirection::Desc ? std::string_view(",\"direction\":\"Desc\"}")
                                                            : std::string_view(",\"direction\":\"Asc\"}"));
    }
    out.push(']');
}

void write_visual_shape(json::Buffer& out, const VisualShape& shape) {
    out.append("{\"axes\":[");
    for (std::size_t a = 0; a < shape.axes.size(); ++a) {
        const VisualAxis& axis = shape.axes[a];
        if (a != 0) out.push(',');
        out.append("{\"name\":");
        json::write_string(out, axis.name);
        out.append(",\"groups\":[");
        for (std::size_t g = 0; g < axis.groups.size(); ++g) {
            const VisualGroup& group = axis.groups[g];
            if (g != 0) out.push(',');
            out.append("{\"columns\":[");
            for (std::size_t c = 0; c < group.columns.size(); ++c) {
                if (c != 0) out.push(',');
                json::write_expr(out, group.columns[c]);
            }
            out.append("],\"total\":");
            write_optional_expr(out, group.total);
            out.push('}');
        }
        out.append("],\"order_by\":");
        write_keys(out, axis.order_by);
        out.push('}');
    }
    out.append("],\"densify\":");
    write_optional_string(out, shape.densify);
    out.push('}');
}

void write_params(json::Buffer& out, const std::vector<FuncParam>& params) {
    out.push('[');
    for (std::size_t i = 0; i < params.size(); ++i) {
        const FuncParam& param = params[i];
        if (i != 0) out.push(',');
        out.append("{\"name\":");
        json::write_string(out, param.name);
        out.append(",\"type_hints\":[");
        for (std::size_t h = 0; h < param.type_hints.size(); ++h) {
            if (h != 0) out.push(',');
            json::write_string(out, param.type_hints[h]);
        }
        out.append("],\"default\":");
        write_optional_expr(out, param.default_value);
        out.push('}');
    }
    out.push(']');
}

bool has_default(const definition::Function& function) noexcept {
    for (const FuncParam& param : function.params)
        if (param.default_value) return true;
    return false;
}

// Code points that Python's str.isspace() accepts: what str.rstrip() removes.
bool is_python_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// `text` (valid UTF-8) without the white space at its end.
std::string_view rstrip(std::string_view text) noexcept {
    std::size_t end = text.size();
    while (end > 0) {
        std::size_t start = end - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data() + start);
        char32_t c = 0;
        switch (end - start) {
            case 1: c = bytes[0]; break;
            case 2: c = (char32_t(bytes[0] & 0x1F) << 6) | (bytes[1] & 0x3F); break;
            case 3: c = (char32_t(bytes[0] & 0x0F) << 12) | (char32_t(bytes[1] & 0x3F) << 6) | (bytes[2] & 0x3F); break;
            default: return text.substr(0, end);  // four bytes: beyond every space
        }
        if (!is_python_space(c)) break;
        end = start;
    }
    return text.substr(0, end);
}

}  // namespace

std::string builtin_upper(std::string_view name, const NameSet& builtins) {
    if (!is_ascii(name)) return {};
    std::string upper(name);
    upper_ascii(upper);
    if (upper == name || builtins.find(upper) == builtins.end()) return {};
    return upper;
}

bool is_builtin(std::string_view name, const NameSet& builtins) {
    if (!is_ascii(name)) return false;
    std::string upper(name);
    upper_ascii(upper);
    return builtins.find(upper) != builtins.end();
}

const std::string* keyword_upper(std::string_view name, const Names& names) {
    // Most names are longer than any keyword: rejected before a copy.
    if (name.size() > names.longest_keyword || !is_ascii(name)) return nullptr;
    std::string upper(name);
    upper_ascii(upper);
    const auto found = names.keywords.find(upper);
    return found == names.keywords.end() ? nullptr : &*found;
}

void write_expression(json::Buffer& out, Expr& expr, const Names& names, NameSet* declared) {
    Normalizer normalizer(names, declared);
    normalizer.expression(expr);
    json::write_expr(out, expr);
}

void write_query(json::Buffer& out, Query& query, const Names& names, NameSet* declared) {
    Normalizer normalizer(names, declared);
    normalizer.query(query);
    json::write_query(out, query);
    if (!query.define) return;
    // What the JSON leaves out, by the definition's index: a line of its own.
    bool any = false;
    const auto& defs = query.define->defs;
    for (std::size_t i = 0; i < defs.size(); ++i) {
        const auto* table = std::get_if<definition::Table>(&defs[i]);
        const auto* function = std::get_if<definition::Function>(&defs[i]);
        const bool shape = table != nullptr && table->visual_shape;
        const bool defaults = function != nullptr && has_default(*function);
        if (!shape && !defaults) continue;
        out.append(any ? std::string_view(",{\"def\":") : std::string_view("\n[{\"def\":"));
        any = true;
        json::write_unsigned(out, i);
        if (shape) {
            out.append(",\"visual_shape\":");
            write_visual_shape(out, *table->visual_shape);
        } else {
            out.append(",\"params\":");
            write_params(out, function->params);
        }
        out.push('}');
    }
    if (any) out.push(']');
}

void write_function(json::Buffer& out, definition::Function& function, const Names& names, NameSet* declared) {
    Normalizer normalizer(names, declared);
    normalizer.function(function);
    out.append("{\"Function\":{\"doc\":");
    write_optional_string(out, function.doc);
    out.append(",\"params\":");
    write_params(out, function.params);
    out.append(",\"body\":");
    json::write_expr(out, function.body);
    out.append("}}");
}

std::string_view comment_text(const Token& token, std::string_view input) noexcept {
    const std::string_view text = input.substr(token.span.start, token.span.end - token.span.start);
    return token.kind == TokenKind::BlockComment ? text : rstrip(text);
}

void write_comments(json::Buffer& out, const TokenVector& tokens, std::string_view input) {
    for (const Token& token : tokens) {
        if (!is_comment(token.kind)) continue;
        const std::string_view text = comment_text(token, input);
        json::write_unsigned(out, text.size());
        out.push(':');
        out.append(text);
    }
}

}  // namespace dax::fingerprint
