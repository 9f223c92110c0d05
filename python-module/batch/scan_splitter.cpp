// The datasets of a scanner result, found in one pass: a small JSON reader
// for the levels above them, and bracket counting inside them.
#include "scan_splitter.hpp"

#include <utility>

namespace dax::batch {

namespace {

bool is_white(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_scalar_char(char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+' || c == '-' ||
           c == '.';
}

char closer_of(char open) noexcept { return open == '{' ? '}' : ']'; }

}  // namespace

namespace {
constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
}

void ScanSplitter::feed(std::string_view bytes) {
    // A byte-order mark first is no character of the document; it may come
    // split over pieces, so its bytes are held until it is certain.
    while (!mark_decided_ && !bytes.empty()) {
        if (bytes.front() != byte_order_mark[mark_held_]) {
            release_mark();
            break;
        }
        bytes.remove_prefix(1);
        if (++mark_held_ == byte_order_mark.size()) {
            mark_decided_ = true;
            offset_ = byte_order_mark.size();
        }
    }
    for (const char c : bytes) {
        if (stopped_) return;
        step(c);
        advance(c);
    }
}

void ScanSplitter::release_mark() {
    // What looked like the start of a mark is text after all.
    mark_decided_ = true;
    for (const char c : byte_order_mark.substr(0, mark_held_)) {
        if (stopped_) return;
        step(c);
        advance(c);
    }
}

void ScanSplitter::advance(char c) noexcept {
    ++offset_;
    if (c == '\n') {
        ++line_;
        column_ = 1;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
        ++column_;
    }
}

void ScanSplitter::step(char c) {
    if (in_string_) {
        step_string(c);
        return;
    }
    if (!skipped_.empty()) {
        step_skipped(c);
        return;
    }
    if (in_scalar_) {
        if (is_scalar_char(c)) return;
        in_scalar_ = false;
        value_done();
    }
    if (is_white(c)) return;
    if (done_root_) return fault("invalid JSON: text after the end of the document");
    if (!seen_root_) {
        if (c != '{') return fault("not a scanner result: the file is not a JSON object");
        seen_root_ = true;
        stack_.push_back(Frame{'{', Role::Root, Expect::KeyOrEnd, {}});
        return;
    }
    Frame& top = stack_.back();
    switch (top.expect) {
        case Expect::KeyOrEnd:
        case Expect::Key:
            if (c == '"') return begin_string(Capture::Key, true);
            if (c == '}' && top.expect == Expect::KeyOrEnd) return close(c);
            return fault("invalid JSON: expected a property name in double quotes");
        case Expect::Colon:
            if (c != ':') return fault("invalid JSON: expected ':' after a property name");
            top.expect = Expect::Value;
            return;
        case Expect::ValueOrEnd:
            if (c == ']') return close(c);
            return open_value(c);
        case Expect::Value:
            return open_value(c);
        case Expect::CommaOrEnd:
            if (c == ',') {
                top.expect = top.open == '{' ? Expect::Key : Expect::Value;
                return;
            }
            if (c == closer_of(top.open)) return close(c);
            return fault(top.open == '{' ? "invalid JSON: expected ',' or '}' in an object"
                                         : "invalid JSON: expected ',' or ']' in an array");
    }
}

void ScanSplitter::step_skipped(char c) {
    if (c == '"') {
        begin_string(Capture::None, false);
    } else if (c == '{' || c == '[') {
        if (stack_.size() + skipped_.size() >= max_depth) return fault("invalid JSON: nested too deeply");
        skipped_.push_back(c);
    } else if (c == '}' || c == ']') {
        if (c != closer_of(skipped_.back())) {
            return fault(std::string("invalid JSON: '") + c + "' where a '" + closer_of(skipped_.back()) +
                         "' closes what is open");
        }
        skipped_.pop_back();
        if (!skipped_.empty()) return;
        if (skipping_dataset_) {
            skipping_dataset_ = false;
            current_dataset_.end = offset_ + 1;
            items_.push_back(std::move(current_dataset_));
            current_dataset_ = ScanItem();
        }
        value_done();
    }
}

void ScanSplitter::step_string(char c) {
    if (escaped_) {
        escaped_ = false;
    } else if (c == '\\') {
        escaped_ = true;
    } else if (c == '"') {
        return end_string();
    }
    if (capture_ != Capture::None && kept_.size() < max_kept) kept_.push_back(c);
}

void ScanSplitter::begin_string(Capture capture, bool key) {
    in_string_ = true;
    escaped_ = false;
    capture_ = capture;
    string_is_key_ = key;
    kept_.clear();
}

void ScanSplitter::end_string() {
    in_string_ = false;
    if (!skipped_.empty()) return;  // a string inside a skipped value
    Frame& top = stack_.back();
    if (string_is_key_) {
        top.key = std::move(kept_);
        top.expect = Expect::Colon;
    } else {
        if (capture_ == Capture::Name) {
            current_workspace_.name = std::move(kept_);
            current_workspace_.has_name = true;
        } else if (capture_ == Capture::Id) {
            current_workspace_.id = std::move(kept_);
            current_workspace_.has_id = true;
        }
        value_done();
    }
    kept_.clear();
    capture_ = Capture::None;
}

void ScanSplitter::open_value(char c) {
    const Frame& parent = stack_.back();
    switch (parent.role) {
        case Role::Root:
            if (parent.key != "workspaces") break;
            seen_workspaces_ = true;
            if (c == '[') {
                stack_.push_back(Frame{'[', Role::WorkspaceList, Expect::ValueOrEnd, {}});
                return;
            }
            if (c != 'n') problem("not a scanner result: \"workspaces\" is not an array");
            break;
        case Role::WorkspaceList:
            if (c == '{') {
                current_workspace_ = ScanItem();
                current_workspace_.kind = ScanItem::Kind::Workspace;
                current_workspace_.workspace = workspaces_++;
                current_workspace_.start = offset_;
                current_workspace_.line = line_;
                current_workspace_.column = column_;
                stack_.push_back(Frame{'{', Role::Workspace, Expect::KeyOrEnd, {}});
                return;
            }
            problem("an item of \"workspaces\" is not an object");
            break;
        case Role::Workspace:
            if (parent.key == "datasets") {
                if (c == '[') {
                    stack_.push_back(Frame{'[', Role::DatasetList, Expect::ValueOrEnd, {}});
                    return;
                }
                if (c != 'n') problem("\"datasets\" of a workspace is not an array");
            } else if (c == '"' && (parent.key == "name" || parent.key == "id")) {
                return begin_string(parent.key == "name" ? Capture::Name : Capture::Id, false);
            }
            break;
        case Role::DatasetList:
            if (c == '{') {
                current_dataset_ = ScanItem();
                current_dataset_.kind = ScanItem::Kind::Dataset;
                current_dataset_.workspace = current_workspace_.workspace;
                current_dataset_.start = offset_;
                current_dataset_.line = line_;
                current_dataset_.column = column_;
                skipping_dataset_ = true;
                skipped_.push_back(c);
                return;
            }
            problem("an item of \"datasets\" is not an object");
            break;
        case Role::Dataset:
        case Role::Other:
            break;
    }
    skip_value(c);
}

void ScanSplitter::skip_value(char c) {
    if (c == '"') return begin_string(Capture::None, false);
    if (c == '{' || c == '[') {
        skipped_.push_back(c);
        return;
    }
    if (is_scalar_char(c)) {
        in_scalar_ = true;
        return;
    }
    fault(std::string("invalid JSON: unexpected character '") + c + "'");
}

void ScanSplitter::value_done() {
    Frame& top = stack_.back();
    top.expect = Expect::CommaOrEnd;
    top.key.clear();
}

void ScanSplitter::close(char c) {
    Frame& top = stack_.back();
    if (top.role == Role::Workspace) {
        current_workspace_.end = offset_ + 1;
        items_.push_back(std::move(current_workspace_));
        current_workspace_ = ScanItem();
        current_workspace_.workspace = -1;
    }
    const bool root = top.role == Role::Root;
    (void)c;
    stack_.pop_back();
    if (root) {
        done_root_ = true;
        return;
    }
    value_done();
}

void ScanSplitter::problem(std::string message) {
    ScanItem item;
    item.kind = ScanItem::Kind::Problem;
    item.workspace = current_workspace_.workspace;
    item.start = item.end = offset_;
    item.line = line_;
    item.column = column_;
    item.message = std::move(message);
    items_.push_back(std::move(item));
}

void ScanSplitter::fault(std::string message) {
    problem(std::move(message));
    stopped_ = true;
}

void ScanSplitter::finish() {
    if (!mark_decided_) release_mark();
    if (stopped_) return;
    if (in_string_) return fault("invalid JSON: unterminated string at the end of the file");
    if (in_scalar_) {
        in_scalar_ = false;
        if (!stack_.empty()) value_done();
    }
    if (!seen_root_) return fault("not a scanner result: the file holds no JSON object");
    if (!done_root_) return fault("invalid JSON: unexpected end of the file");
    if (!seen_workspaces_) {
        ScanItem item;
        item.line = item.column = 1;
        item.message = "not a scanner result: no \"workspaces\" array";
        items_.push_back(std::move(item));
    }
}

std::vector<ScanItem> ScanSplitter::take() { return std::exchange(items_, {}); }

}  // namespace dax::batch
