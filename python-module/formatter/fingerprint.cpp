// Tree fingerprints: names normalised in place, then the JSON writer, then
// what only the engine grammar reads and the JSON leaves out.
#include "fingerprint.hpp"

#include <cstddef>
#include <cstdint>
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

// Upper-cases the built-in function names and Axis words of every
// expression below `root`, which is walked with a work list.
// for_each_child hands out const references; the tree is the caller's to
// change, hence the casts.
void normalize(Expr& root, std::vector<Expr*>& work, const NameSet& builtins) {
    work.push_back(&root);
    while (!work.empty()) {
        Expr* e = work.back();
        work.pop_back();
        if (auto* call = e->as<node::FunctionCall>()) {
            std::string upper = builtin_upper(call->name, builtins);
            if (!upper.empty()) call->name = std::move(upper);
        } else if (auto* axis = e->as<node::Axis>()) {
            for (std::string& word : axis->words) upper_ascii(word);
        }
        for_each_child(*e, [&work](const Expr& child) { work.push_back(const_cast<Expr*>(&child)); });
    }
}

void normalize_keys(std::vector<OrderKey>& keys, std::vector<Expr*>& work, const NameSet& builtins) {
    for (OrderKey& key : keys) normalize(key.expr, work, builtins);
}

void normalize_function(definition::Function& function, std::vector<Expr*>& work, const NameSet& builtins) {
    for (FuncParam& param : function.params)
        if (param.default_value) normalize(*param.default_value, work, builtins);
    normalize(function.body, work, builtins);
}

void normalize_query(Query& query, std::vector<Expr*>& work, const NameSet& builtins) {
    if (query.define) {
        for (Definition& def : query.define->defs) {
            std::visit(
                [&](auto& d) {
                    using D = std::remove_cvref_t<decltype(d)>;
                    if constexpr (std::is_same_v<D, definition::Function>) {
                        normalize_function(d, work, builtins);
                    } else {
                        normalize(d.expr, work, builtins);
                        if constexpr (std::is_same_v<D, definition::Table>) {
                            if (!d.visual_shape) return;
                            for (VisualAxis& axis : d.visual_shape->axes) {
                                upper_ascii(axis.name);
                                for (VisualGroup& group : axis.groups) {
                                    for (Expr& column : group.columns) normalize(column, work, builtins);
                                    if (group.total) normalize(*group.total, work, builtins);
                                }
                                normalize_keys(axis.order_by, work, builtins);
                            }
                        }
                    }
                },
                def);
        }
    }
    for (EvaluateStmt& stmt : query.evaluates) {
        normalize(stmt.expr, work, builtins);
        normalize_keys(stmt.order_by, work, builtins);
        if (stmt.start_at)
            for (Expr& value : *stmt.start_at) normalize(value, work, builtins);
    }
}

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

void write_expression(json::Buffer& out, Expr& expr, const NameSet& builtins) {
    std::vector<Expr*> work;
    normalize(expr, work, builtins);
    json::write_expr(out, expr);
}

void write_query(json::Buffer& out, Query& query, const NameSet& builtins) {
    std::vector<Expr*> work;
    normalize_query(query, work, builtins);
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

void write_function(json::Buffer& out, definition::Function& function, const NameSet& builtins) {
    std::vector<Expr*> work;
    normalize_function(function, work, builtins);
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
