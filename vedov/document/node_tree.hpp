// The node tree of a parsed YAML stream: compact, with aliases as references to their anchors.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vedov/document/errors.hpp"

namespace vedov::document {

/// Deepest nesting of collections a document may have, aliases expanded.
inline constexpr std::size_t max_depth = 128;
/// Nodes a document may hold once every alias is expanded into a copy of its anchored node:
/// this many, or 100 per node of the tree, whichever is more.
inline constexpr std::uint64_t min_expansion_budget = std::uint64_t{1} << 24;

enum class NodeKind : std::uint8_t { scalar, sequence, mapping, alias };

struct Node {
    NodeKind kind;
    bool plain;            ///< scalars: written without quotes
    std::uint32_t tag;     ///< 1 + index into Tree::tags, 0 without a tag
    std::uint32_t line;    ///< 1-based
    std::uint32_t column;  ///< 1-based
    std::uint64_t begin;   ///< scalar: offset in Tree::text; collection: offset in Tree::children;
                           ///< alias: index of the anchored node
    std::uint64_t size;    ///< scalar: text length; collection: number of children
};

/// Every document of a stream. Nodes are in document order; a document's root is the first node
/// after the previous document's. Mapping children alternate key, value.
struct Tree {
    std::vector<Node> nodes;
    std::vector<std::uint32_t> children;
    std::string text;
    std::vector<std::string> tags;
    std::size_t documents = 0;

    /// The node itself, or for an alias the anchored node it stands for.
    const Node& resolve(const Node& node) const noexcept {
        return node.kind == NodeKind::alias ? nodes[node.begin] : node;
    }
    const Node& resolve(std::uint32_t index) const noexcept { return resolve(nodes[index]); }
    std::string_view scalar(const Node& node) const noexcept {
        return std::string_view(text).substr(node.begin, node.size);
    }
    /// The node's tag as the parser resolved it ("!Phase", "tag:yaml.org,2002:str"), or "".
    std::string_view tag(const Node& node) const noexcept {
        return node.tag == 0 ? std::string_view{} : std::string_view(tags[node.tag - 1]);
    }
    std::span<const std::uint32_t> items(const Node& node) const noexcept {
        return std::span<const std::uint32_t>(children).subspan(node.begin, node.size);
    }
    static Mark mark(const Node& node) noexcept { return {node.line, node.column}; }
};

/// Parses the whole stream in `text` (valid UTF-8) into a tree. Fails with the parser's syntax
/// error, or with "recursion limit exceeded" or "repetition limit exceeded" as soon as the
/// stream nests deeper than max_depth or its aliases expand beyond the budget, or with "unknown
/// anchor" for an alias before its anchor; the parser reads no further than that point.
Tree parse_stream(std::string_view text);

}  // namespace vedov::document
