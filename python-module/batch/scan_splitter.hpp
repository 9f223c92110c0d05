// Finds the datasets of an admin scanner result (the JSON of the WorkspaceInfo
// scan: `{"workspaces": [{..., "datasets": [{...}, ...]}, ...], ...}`) in one
// pass over its bytes, fed in pieces of any size, without holding more than
// a few names: each dataset is reported as the byte span of its object, for
// its reader to decode on its own. Only the levels above the datasets are
// read as JSON here; a dataset's own text is checked by whoever decodes it.
// Nothing here touches Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dax::batch {

struct ScanItem {
    enum class Kind : std::uint8_t { Workspace, Dataset, Problem };
    Kind kind = Kind::Problem;
    // A workspace's own index, or the index of a dataset's workspace; -1 for
    // a problem outside any workspace.
    std::int64_t workspace = -1;
    // The byte span of the object in the file, and the 1-based line and
    // column (in characters) where it starts; a problem's place is `start`.
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    // A workspace's "name" and "id" strings as written between their quotes
    // (escapes undecoded); empty and not `has_*` when it gives none.
    std::string name;
    std::string id;
    bool has_name = false;
    bool has_id = false;
    std::string message;  // a problem's
};

class ScanSplitter {
public:
    // Reads the next bytes of the document. After a fault in the structure
    // (a bracket that closes nothing, text that is no JSON), everything
    // after it is ignored: the items before it stand.
    void feed(std::string_view bytes);
    // The end of the document: a problem if it is incomplete or holds no
    // "workspaces".
    void finish();
    // The items found since the last call, in file order (a workspace after
    // its datasets: it is complete when its object closes).
    std::vector<ScanItem> take();
    bool stopped() const noexcept { return stopped_; }

    // Containers may nest this deep; deeper is a problem (a nesting bomb
    // must not make the stack of open containers grow without bound).
    static constexpr std::size_t max_depth = 10000;
    // The longest key or name kept: longer ones are no key this reader
    // looks for, and a workspace's name is cut there.
    static constexpr std::size_t max_kept = 4096;

private:
    enum class Role : std::uint8_t { Root, WorkspaceList, Workspace, DatasetList, Dataset, Other };
    enum class Expect : std::uint8_t { KeyOrEnd, Key, Colon, Value, ValueOrEnd, CommaOrEnd };
    enum class Capture : std::uint8_t { None, Key, Name, Id };
    struct Frame {
        char open;  // '{' or '['
        Role role;
        Expect expect;
        std::string key;  // Root and Workspace: the key whose value comes next
    };

    void step(char c);
    void step_skipped(char c);
    void step_string(char c);
    void open_value(char c);
    void close(char c);
    void value_done();
    void begin_string(Capture capture, bool key);
    void end_string();
    void problem(std::string message);
    void fault(std::string message);
    void skip_value(char c);
    void advance(char c) noexcept;
    void release_mark();

    // The open containers down to the datasets' list, read as JSON.
    std::vector<Frame> stack_;
    // The brackets open inside a dataset or another value only stepped over.
    std::string skipped_;
    bool skipping_dataset_ = false;
    bool string_is_key_ = false;
    std::vector<ScanItem> items_;
    ScanItem current_workspace_;
    ScanItem current_dataset_;
    std::int64_t workspaces_ = 0;
    std::size_t mark_held_ = 0;  // bytes of a byte-order mark read so far
    bool mark_decided_ = false;
    bool seen_root_ = false;
    bool done_root_ = false;
    bool seen_workspaces_ = false;
    bool stopped_ = false;
    bool in_string_ = false;
    bool escaped_ = false;
    bool in_scalar_ = false;
    Capture capture_ = Capture::None;
    std::string kept_;
    // Where the reading is: the next byte's offset, line and column.
    std::uint64_t offset_ = 0;
    std::uint64_t line_ = 1;
    std::uint64_t column_ = 1;
};

}  // namespace dax::batch
