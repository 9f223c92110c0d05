// libFuzzer target for the splitter of admin scanner results
// (python-module/batch/scan_splitter): each input fed whole and in pieces
// of a size taken from its hash must give the same items; every dataset's
// span lies in the input, in order, from a `{` to its `}`; every item's line
// and column are those of its offset; a workspace holds its datasets.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "batch/scan_splitter.hpp"
#include "invariants.hpp"

namespace {

using dax::batch::ScanItem;
using dax::batch::ScanSplitter;

std::vector<ScanItem> split(std::string_view input, std::size_t piece) {
    ScanSplitter splitter;
    std::vector<ScanItem> items;
    for (std::size_t start = 0; start < input.size(); start += piece) {
        splitter.feed(input.substr(start, piece));
        for (ScanItem& item : splitter.take()) items.push_back(std::move(item));
    }
    splitter.finish();
    for (ScanItem& item : splitter.take()) items.push_back(std::move(item));
    return items;
}

bool same(const ScanItem& a, const ScanItem& b) {
    return a.kind == b.kind && a.workspace == b.workspace && a.start == b.start && a.end == b.end &&
           a.line == b.line && a.column == b.column && a.name == b.name && a.id == b.id &&
           a.has_name == b.has_name && a.has_id == b.has_id && a.message == b.message;
}

// The line and column of an offset, as the splitter counts them: a byte-order
// mark at the start is no character; columns count UTF-8 lead bytes.
void check_place(std::string_view input, const ScanItem& item) {
    std::size_t offset = item.kind == ScanItem::Kind::Problem && item.line == 1 && item.column == 1 ? 0 : item.start;
    DAX_FUZZ_CHECK(offset <= input.size());
    std::uint64_t line = 1, column = 1;
    const std::size_t first = input.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    for (std::size_t i = first; i < offset; ++i) {
        if (input[i] == '\n') {
            ++line;
            column = 1;
        } else if ((static_cast<unsigned char>(input[i]) & 0xC0) != 0x80) {
            ++column;
        }
    }
    if (offset >= first) {
        DAX_FUZZ_CHECK(item.line == line && item.column == column);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > dax_fuzz::max_input_size) return -1;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::vector<ScanItem> whole = split(input, input.size() + 1);
    std::size_t hash = 14695981039346656037ull;
    for (const char c : input) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    const std::vector<ScanItem> pieces = split(input, 1 + hash % 17);
    DAX_FUZZ_CHECK(whole.size() == pieces.size());
    for (std::size_t i = 0; i < whole.size(); ++i) DAX_FUZZ_CHECK(same(whole[i], pieces[i]));

    std::uint64_t previous_end = 0;
    std::int64_t workspaces = 0;
    for (const ScanItem& item : whole) {
        check_place(input, item);
        switch (item.kind) {
            case ScanItem::Kind::Dataset:
                DAX_FUZZ_CHECK(item.start >= previous_end && item.start < item.end && item.end <= input.size());
                DAX_FUZZ_CHECK(input[item.start] == '{' && input[item.end - 1] == '}');
                DAX_FUZZ_CHECK(item.workspace == workspaces);  // the workspace still open
                previous_end = item.end;
                break;
            case ScanItem::Kind::Workspace:
                DAX_FUZZ_CHECK(item.workspace == workspaces);
                DAX_FUZZ_CHECK(item.start < item.end && item.end <= input.size() && input[item.start] == '{' &&
                               input[item.end - 1] == '}');
                ++workspaces;
                break;
            case ScanItem::Kind::Problem:
                DAX_FUZZ_CHECK(!item.message.empty());
                break;
        }
    }
    return 0;
}
