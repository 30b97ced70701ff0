// Building the node tree from libyaml's event stream, with the nesting and expansion bounds.
#include "vedov/document/node_tree.hpp"

#include <yaml.h>

#include <algorithm>
#include <limits>
#include <new>
#include <unordered_map>

#include "zam/failure.hpp"

namespace vedov::document {

namespace {

std::uint32_t clamp32(std::size_t value) noexcept {
    return static_cast<std::uint32_t>(
        std::min<std::size_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

Mark one_based(const yaml_mark_t& mark) noexcept {
    return {mark.line + 1, mark.column + 1};
}

// libyaml's reader reports a byte offset only; count lines and characters up to it.
Mark mark_at_offset(std::string_view text, std::size_t offset) noexcept {
    Mark mark{1, 1};
    const std::size_t end = std::min(offset, text.size());
    for (std::size_t i = 0; i < end; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            ++mark.line;
            mark.column = 1;
        } else if ((c & 0xC0) != 0x80) {
            ++mark.column;
        }
    }
    return mark;
}

[[noreturn]] void fail_parser(const yaml_parser_t& parser, std::string_view text) {
    if (parser.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
    SyntaxError error{};
    switch (parser.error) {
        case YAML_READER_ERROR: error.stage = "READER"; break;
        case YAML_SCANNER_ERROR: error.stage = "SCANNER"; break;
        case YAML_PARSER_ERROR: error.stage = "PARSER"; break;
        default: error.stage = "COMPOSER"; break;
    }
    error.problem = parser.problem ? parser.problem : "";
    error.problem_mark = parser.error == YAML_READER_ERROR
                             ? mark_at_offset(text, parser.problem_offset)
                             : one_based(parser.problem_mark);
    if (parser.context) {
        error.context = parser.context;
        error.context_mark = one_based(parser.context_mark);
    }
    fail_syntax(error);
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {
        if (!yaml_parser_initialize(&parser_)) throw std::bad_alloc();
        yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                     text.size());
    }
    ~Parser() { yaml_parser_delete(&parser_); }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    /// The next event; the caller deletes it.
    void next(yaml_event_t& event) {
        if (!yaml_parser_parse(&parser_, &event)) fail_parser(parser_, text_);
    }

private:
    std::string_view text_;
    yaml_parser_t parser_;
};

class EventGuard {
public:
    explicit EventGuard(yaml_event_t& event) : event_(event) {}
    ~EventGuard() { yaml_event_delete(&event_); }
    EventGuard(const EventGuard&) = delete;
    EventGuard& operator=(const EventGuard&) = delete;

private:
    yaml_event_t& event_;
};

// An anchored node: what an alias to it adds once expanded.
struct Anchor {
    std::uint32_t node;
    bool complete;
    std::uint64_t size;  // nodes in its expansion, itself included
    std::size_t height;  // collections nested in its expansion, itself included
};

// A collection still open.
struct Frame {
    std::uint32_t node;
    std::size_t pending_start;
    std::uint64_t expanded_before;
    std::size_t child_height;
    std::size_t anchor;  // index into anchors, or none
};

constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

class Builder {
public:
    explicit Builder(Tree& tree) : tree_(tree) {}

    void start_document() {
        ++tree_.documents;
        names_.clear();
    }

    void scalar(const yaml_event_t& event) {
        const auto& s = event.data.scalar;
        const std::uint32_t index = add(NodeKind::scalar, event, s.tag);
        Node& node = tree_.nodes[index];
        node.plain = s.style == YAML_PLAIN_SCALAR_STYLE;
        node.begin = tree_.text.size();
        node.size = s.length;
        tree_.text.append(reinterpret_cast<const char*>(s.value), s.length);
        count(1, event);
        if (s.anchor) define(s.anchor, index, true, 1, 0);
        attach(index, 0);
    }

    void start(const yaml_event_t& event, NodeKind kind, const yaml_char_t* anchor,
               const yaml_char_t* tag) {
        if (frames_.size() >= max_depth) fail_at(text::recursion_limit, event);
        const std::uint64_t before = expanded_;
        const std::uint32_t index = add(kind, event, tag);
        count(1, event);
        const std::size_t record = anchor ? define(anchor, index, false, 0, 0) : none;
        frames_.push_back({index, pending_.size(), before, 0, record});
    }

    void end() {
        const Frame frame = frames_.back();
        frames_.pop_back();
        Node& node = tree_.nodes[frame.node];
        node.begin = tree_.children.size();
        node.size = pending_.size() - frame.pending_start;
        tree_.children.insert(tree_.children.end(), pending_.begin() + frame.pending_start,
                              pending_.end());
        pending_.resize(frame.pending_start);
        const std::size_t height = frame.child_height + 1;
        if (frame.anchor != none) {
            Anchor& anchor = anchors_[frame.anchor];
            anchor.complete = true;
            anchor.size = expanded_ - frame.expanded_before;
            anchor.height = height;
        }
        attach(frame.node, height);
    }

    void alias(const yaml_event_t& event) {
        const auto found = names_.find(reinterpret_cast<const char*>(event.data.alias.anchor));
        if (found == names_.end()) fail_at(text::unknown_anchor, event);
        const Anchor anchor = anchors_[found->second];
        // An alias inside its own anchored node would expand without end.
        if (!anchor.complete || frames_.size() + anchor.height > max_depth) {
            fail_at(text::recursion_limit, event);
        }
        const std::uint32_t index = add(NodeKind::alias, event, nullptr);
        tree_.nodes[index].begin = anchor.node;
        count(anchor.size, event);
        attach(index, anchor.height);
    }

private:
    std::uint32_t add(NodeKind kind, const yaml_event_t& event, const yaml_char_t* tag) {
        if (tree_.nodes.size() >= std::numeric_limits<std::uint32_t>::max()) zam::fail_capacity();
        const auto index = static_cast<std::uint32_t>(tree_.nodes.size());
        tree_.nodes.push_back({kind, false, tag ? tag_index(tag) : 0,
                               clamp32(event.start_mark.line + 1),
                               clamp32(event.start_mark.column + 1), 0, 0});
        return index;
    }

    std::uint32_t tag_index(const yaml_char_t* tag) {
        std::string name(reinterpret_cast<const char*>(tag));
        const auto [entry, inserted] = tag_indices_.try_emplace(
            std::move(name), static_cast<std::uint32_t>(tree_.tags.size() + 1));
        if (inserted) tree_.tags.push_back(entry->first);
        return entry->second;
    }

    std::size_t define(const yaml_char_t* name, std::uint32_t node, bool complete,
                       std::uint64_t size, std::size_t height) {
        anchors_.push_back({node, complete, size, height});
        names_[reinterpret_cast<const char*>(name)] = anchors_.size() - 1;
        return anchors_.size() - 1;
    }

    void attach(std::uint32_t index, std::size_t height) {
        if (frames_.empty()) return;
        pending_.push_back(index);
        Frame& parent = frames_.back();
        parent.child_height = std::max(parent.child_height, height);
    }

    // Adds `nodes` to the expanded size of the stream, within the budget.
    void count(std::uint64_t nodes, const yaml_event_t& event) {
        const std::uint64_t budget =
            std::max<std::uint64_t>(min_expansion_budget, 100 * std::uint64_t{tree_.nodes.size()});
        if (nodes > budget - std::min(expanded_, budget)) {
            fail_at(text::repetition_limit, event);
        }
        expanded_ += nodes;
    }

    [[noreturn]] static void fail_at(std::string_view message, const yaml_event_t& event) {
        fail_content({}, message, one_based(event.start_mark));
    }

    Tree& tree_;
    std::vector<Frame> frames_;
    std::vector<std::uint32_t> pending_;
    std::vector<Anchor> anchors_;
    std::unordered_map<std::string, std::size_t> names_;
    std::unordered_map<std::string, std::uint32_t> tag_indices_;
    std::uint64_t expanded_ = 0;
};

}  // namespace

Tree parse_stream(std::string_view text) {
    Tree tree;
    // Reserve for a typical document: about one node per 8 bytes of text.
    tree.nodes.reserve(text.size() / 8);
    tree.children.reserve(text.size() / 8);
    tree.text.reserve(text.size() / 2);
    Builder builder(tree);
    Parser parser(text);
    for (;;) {
        yaml_event_t event;
        parser.next(event);
        EventGuard guard(event);
        switch (event.type) {
            case YAML_STREAM_END_EVENT: return tree;
            case YAML_DOCUMENT_START_EVENT: builder.start_document(); break;
            case YAML_SCALAR_EVENT: builder.scalar(event); break;
            case YAML_SEQUENCE_START_EVENT:
                builder.start(event, NodeKind::sequence, event.data.sequence_start.anchor,
                              event.data.sequence_start.tag);
                break;
            case YAML_MAPPING_START_EVENT:
                builder.start(event, NodeKind::mapping, event.data.mapping_start.anchor,
                              event.data.mapping_start.tag);
                break;
            case YAML_SEQUENCE_END_EVENT:
            case YAML_MAPPING_END_EVENT: builder.end(); break;
            case YAML_ALIAS_EVENT: builder.alias(event); break;
            default: break;
        }
    }
}

}  // namespace vedov::document
