// Checking and reading the references of many texts at once, spread over
// threads: the work of quarrow_dax.batch. Nothing here touches Python; the
// entries (batch_entries.cpp) read the texts from Arrow buffers and hand the
// columns back as buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dax_parser/dialect.hpp"
#include "dax_parser/parser.hpp"
#include "text_column.hpp"

namespace dax::batch {

// What a text is read as.
enum class TextKind : std::uint8_t { Expression, Query, Function };

struct ParseSettings {
    TextKind kind = TextKind::Expression;
    Dialect dialect = default_dialect;
    Grammar grammar = Grammar::Standard;
};

// The 1-based line and column (in characters) of a byte offset of `text`.
struct Position {
    std::int32_t line = 1;
    std::int32_t column = 1;
};
Position position_of(std::string_view text, std::size_t offset) noexcept;

// Where a diagnostic of an error at `start` is shown: as
// quarrow_dax.diagnostics places it, an error at the very end of a text that
// ends in line breaks is moved back to just past its last character that is
// not white space.
std::size_t shown_error_offset(std::string_view text, std::size_t start, std::size_t end) noexcept;

// The outcome of each text, one entry per text of the column.
enum class CheckStatus : std::uint8_t { Ok = 0, Lex = 1, Parse = 2, Null = 3 };

struct CheckColumns {
    std::vector<std::uint8_t> status;
    std::vector<std::int32_t> line;    // 0 unless an error
    std::vector<std::int32_t> column;  // 0 unless an error
    std::vector<std::int64_t> message_offsets;  // size + 1: the messages, empty unless an error
    std::string messages;
};

// Parses each text (nothing is built that outlives its parse) with `threads`
// threads, the calling one among them.
CheckColumns check_texts(const TextColumn& texts, const ParseSettings& settings, unsigned threads);

// One row per reference of every text that parses, in text order and within
// a text in source order; a text that does not parse gives no row.
struct ReferenceColumns {
    std::vector<std::int64_t> index;  // the text's
    std::vector<std::uint8_t> kind;   // refs::ReferenceKind
    std::vector<std::int64_t> start, end;
    std::vector<std::int32_t> line, column;
    std::vector<std::int32_t> parent, argument, target;  // -1: none
    // Strings as offsets into one block each (size + 1 offsets); a row with
    // no table (or no enclosing call) has an empty one and its flag clear.
    std::vector<std::int64_t> name_offsets;
    std::string names;
    std::vector<std::int64_t> table_offsets;
    std::string tables;
    std::vector<std::uint8_t> has_table;
    std::vector<std::int64_t> function_offsets;
    std::string functions;
    std::vector<std::uint8_t> has_function;
    // A hierarchy's levels: per row, offsets into the level list (size + 1),
    // and the levels' own offsets into one block.
    std::vector<std::int64_t> level_lists;
    std::vector<std::int64_t> level_offsets;
    std::string levels;

    std::size_t size() const noexcept { return index.size(); }
    void append(const ReferenceColumns& other, std::int64_t index_shift);
};

ReferenceColumns references_of_texts(const TextColumn& texts, const ParseSettings& settings, unsigned threads);

// Runs work(begin, end) over [0, count) in runs of `chunk` items, on
// `threads` threads (the calling one among them). The first exception a
// run throws stops the others from taking more and is rethrown here, once
// every thread has finished.
template <class Work>
void parallel_runs(std::size_t count, std::size_t chunk, unsigned threads, Work&& work);

}  // namespace dax::batch

#include "parallel_runs.inl"
