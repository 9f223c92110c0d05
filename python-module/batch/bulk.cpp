// Many texts checked, or their references read, across threads.
#include "bulk.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "dax_parser/dax_parser.hpp"
#include "syntax/references.hpp"

namespace dax::batch {

namespace {

// Texts a thread takes at a time: enough that taking them costs nothing next
// to parsing them, few enough that the threads finish together.
constexpr std::size_t run_size = 64;

bool is_ascii_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The first error of `text` read as `settings` say, or nothing.
std::optional<DaxError> first_error(std::string_view text, const ParseSettings& settings) {
    switch (settings.kind) {
        case TextKind::Query: {
            auto result = parse_query_with_dialect(text, settings.dialect, settings.grammar);
            if (result) return std::nullopt;
            return std::move(result).error();
        }
        case TextKind::Function: {
            auto result = parse_function_with_dialect(text, settings.dialect, settings.grammar);
            if (result) return std::nullopt;
            return std::move(result).error();
        }
        case TextKind::Expression:
            break;
    }
    auto result = parse_expression_with_dialect(text, settings.dialect, settings.grammar);
    if (result) return std::nullopt;
    return std::move(result).error();
}

// Line starts of one text, for the positions of many offsets in it.
class LineStarts {
public:
    explicit LineStarts(std::string_view text) : text_(text) {
        starts_.push_back(0);
        for (std::size_t i = text.find('\n'); i != std::string_view::npos; i = text.find('\n', i + 1))
            starts_.push_back(i + 1);
    }

    Position operator()(std::size_t offset) const noexcept {
        offset = std::min(offset, text_.size());
        const auto after = std::upper_bound(starts_.begin(), starts_.end(), offset);
        const std::size_t line = static_cast<std::size_t>(after - starts_.begin());
        const std::size_t start = starts_[line - 1];
        std::int32_t column = 1;
        for (std::size_t i = start; i < offset; ++i)
            column += (static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80;
        return Position{static_cast<std::int32_t>(line), column};
    }

private:
    std::string_view text_;
    std::vector<std::size_t> starts_;
};

void append_string(std::string& block, std::vector<std::int64_t>& offsets, std::string_view text) {
    block.append(text);
    offsets.push_back(static_cast<std::int64_t>(block.size()));
}

std::int32_t index_or_minus_one(std::size_t index) noexcept {
    return index == refs::no_index ? -1 : static_cast<std::int32_t>(index);
}

std::vector<refs::Reference> references_of(std::string_view text, const ParseSettings& settings, bool& parsed,
                                           std::optional<Expr>& expr, std::optional<Query>& query,
                                           std::optional<definition::Function>& function) {
    parsed = false;
    switch (settings.kind) {
        case TextKind::Query: {
            auto result = parse_query_with_dialect(text, settings.dialect, settings.grammar);
            if (!result) return {};
            query.emplace(std::move(result).value());
            parsed = true;
            return refs::query_references(*query, text);
        }
        case TextKind::Function: {
            auto result = parse_function_with_dialect(text, settings.dialect, settings.grammar);
            if (!result) return {};
            function.emplace(std::move(result).value());
            parsed = true;
            return refs::function_references(*function, text);
        }
        case TextKind::Expression:
            break;
    }
    auto result = parse_expression_with_dialect(text, settings.dialect, settings.grammar);
    if (!result) return {};
    expr.emplace(std::move(result).value());
    parsed = true;
    return refs::expression_references(*expr, text);
}

// The rows of one text's references, appended to `rows`.
void add_rows(ReferenceColumns& rows, std::int64_t index, std::string_view text,
              const std::vector<refs::Reference>& references) {
    const LineStarts positions(text);
    for (const refs::Reference& ref : references) {
        rows.index.push_back(index);
        rows.kind.push_back(static_cast<std::uint8_t>(ref.kind));
        rows.start.push_back(static_cast<std::int64_t>(ref.span.start));
        rows.end.push_back(static_cast<std::int64_t>(ref.span.end));
        const Position at = positions(ref.span.start);
        rows.line.push_back(at.line);
        rows.column.push_back(at.column);
        const bool in_call = ref.parent != refs::no_index;
        rows.parent.push_back(index_or_minus_one(ref.parent));
        rows.argument.push_back(index_or_minus_one(ref.argument));
        rows.target.push_back(index_or_minus_one(ref.target));
        append_string(rows.names, rows.name_offsets, ref.name);
        append_string(rows.tables, rows.table_offsets, ref.has_table ? ref.table : std::string_view());
        rows.has_table.push_back(ref.has_table ? 1 : 0);
        // A call comes before the references in its arguments.
        append_string(rows.functions, rows.function_offsets,
                      in_call && ref.parent < references.size() ? references[ref.parent].name : std::string_view());
        rows.has_function.push_back(in_call ? 1 : 0);
        if (ref.levels != nullptr) {
            for (const std::string& level : *ref.levels) append_string(rows.levels, rows.level_offsets, level);
        }
        rows.level_lists.push_back(static_cast<std::int64_t>(rows.level_offsets.size() - 1));
    }
}

ReferenceColumns empty_rows() {
    ReferenceColumns rows;
    rows.name_offsets.push_back(0);
    rows.table_offsets.push_back(0);
    rows.function_offsets.push_back(0);
    rows.level_lists.push_back(0);
    rows.level_offsets.push_back(0);
    return rows;
}

template <class T>
void extend(std::vector<T>& to, const std::vector<T>& from) {
    to.insert(to.end(), from.begin(), from.end());
}

// Offsets of a block appended to another: the first is the one already there.
void extend_offsets(std::vector<std::int64_t>& to, const std::vector<std::int64_t>& from, std::int64_t shift) {
    for (std::size_t i = 1; i < from.size(); ++i) to.push_back(from[i] + shift);
}

}  // namespace

Position position_of(std::string_view text, std::size_t offset) noexcept { return LineStarts(text)(offset); }

std::size_t shown_error_offset(std::string_view text, std::size_t start, std::size_t end) noexcept {
    start = std::min(start, text.size());
    end = std::min(std::max(end, start), text.size());
    if (start != text.size() || end != text.size()) return start;
    std::size_t last = text.size();
    while (last > 0 && is_ascii_space(text[last - 1])) --last;
    return text.find('\n', last) != std::string_view::npos ? last : start;
}

CheckColumns check_texts(const TextColumn& texts, const ParseSettings& settings, unsigned threads) {
    const std::size_t count = texts.size();
    CheckColumns out;
    out.status.assign(count, static_cast<std::uint8_t>(CheckStatus::Ok));
    out.line.assign(count, 0);
    out.column.assign(count, 0);
    // Messages are few (most texts parse): kept per text until the end.
    std::vector<std::string> messages(count);
    parallel_runs(count, run_size, threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::optional<std::string_view> text = texts[i];
            if (!text) {
                out.status[i] = static_cast<std::uint8_t>(CheckStatus::Null);
                continue;
            }
            std::optional<DaxError> error = first_error(*text, settings);
            if (!error) continue;
            out.status[i] =
                static_cast<std::uint8_t>(error->kind == DaxError::Kind::Lex ? CheckStatus::Lex : CheckStatus::Parse);
            const Position at =
                position_of(*text, shown_error_offset(*text, error->error.span.start, error->error.span.end));
            out.line[i] = at.line;
            out.column[i] = at.column;
            messages[i] = std::move(error->error.message);
        }
    });
    out.message_offsets.reserve(count + 1);
    out.message_offsets.push_back(0);
    for (const std::string& message : messages) append_string(out.messages, out.message_offsets, message);
    return out;
}

void ReferenceColumns::append(const ReferenceColumns& other, std::int64_t index_shift) {
    for (const std::int64_t i : other.index) index.push_back(i + index_shift);
    extend(kind, other.kind);
    extend(start, other.start);
    extend(end, other.end);
    extend(line, other.line);
    extend(column, other.column);
    extend(parent, other.parent);
    extend(argument, other.argument);
    extend(target, other.target);
    extend_offsets(name_offsets, other.name_offsets, static_cast<std::int64_t>(names.size()));
    names += other.names;
    extend_offsets(table_offsets, other.table_offsets, static_cast<std::int64_t>(tables.size()));
    tables += other.tables;
    extend(has_table, other.has_table);
    extend_offsets(function_offsets, other.function_offsets, static_cast<std::int64_t>(functions.size()));
    functions += other.functions;
    extend(has_function, other.has_function);
    extend_offsets(level_lists, other.level_lists, static_cast<std::int64_t>(level_offsets.size() - 1));
    extend_offsets(level_offsets, other.level_offsets, static_cast<std::int64_t>(levels.size()));
    levels += other.levels;
}

ReferenceColumns references_of_texts(const TextColumn& texts, const ParseSettings& settings, unsigned threads) {
    const std::size_t count = texts.size();
    const std::size_t runs = (count + run_size - 1) / run_size;
    // Each run writes its own rows; they are joined in order at the end.
    std::vector<ReferenceColumns> blocks(runs);
    parallel_runs(count, run_size, threads, [&](std::size_t begin, std::size_t end) {
        ReferenceColumns rows = empty_rows();
        for (std::size_t i = begin; i < end; ++i) {
            const std::optional<std::string_view> text = texts[i];
            if (!text) continue;
            bool parsed = false;
            // The references point into the tree, which lives until the rows are written.
            std::optional<Expr> expr;
            std::optional<Query> query;
            std::optional<definition::Function> function;
            const std::vector<refs::Reference> found = references_of(*text, settings, parsed, expr, query, function);
            if (parsed) add_rows(rows, static_cast<std::int64_t>(i), *text, found);
        }
        blocks[begin / run_size] = std::move(rows);
    });
    ReferenceColumns out = empty_rows();
    for (ReferenceColumns& block : blocks) {
        out.append(block, 0);
        block = ReferenceColumns();  // freed as soon as it is copied
    }
    return out;
}

}  // namespace dax::batch
