// The record reader: walks the node tree along the system's fields, with merge keys applied.
#include "vedov/document/reader.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "vedov/document/errors.hpp"
#include "vedov/document/scalar.hpp"
#include "vedov/document/schema.hpp"

namespace vedov::document {

namespace {

// Where a node sits: keys from the root joined by ".", sequence indices in brackets.
struct Path {
    const Path* parent = nullptr;
    std::string_view key;
    std::size_t index = 0;
    bool is_index = false;

    std::string render() const {
        if (!parent) return {};
        std::string text = parent->render();
        if (is_index) return text + "[" + std::to_string(index) + "]";
        if (!text.empty()) text += '.';
        return text.append(key);
    }
};

Path child(const Path& parent, std::string_view key) {
    return {&parent, key, 0, false};
}

Path element(const Path& parent, std::size_t index) {
    return {&parent, {}, index, true};
}

template <std::size_t N>
using Names = std::array<std::string_view, N>;

template <std::size_t N>
int find(const Names<N>& names, std::string_view name) noexcept {
    for (std::size_t k = 0; k < N; ++k) {
        if (names[k] == name) return static_cast<int>(k);
    }
    return -1;
}

class Reader {
public:
    explicit Reader(const Tree& tree) : tree_(tree) {}

    SystemGeom system(const Node& root) {
        SystemGeom s;
        read_value(root, Path{}, s);
        return s;
    }

private:
    // ---- failures

    [[noreturn]] void fail(const Path& path, const Node& node, std::string_view message) const {
        fail_content(path.render(), message, Tree::mark(node));
    }

    // The invalid-type error for `node` (resolved) where `expected` was wanted; a scalar whose
    // tag does not fit its text reports that instead.
    [[noreturn]] void fail_found(const Node& node, const Path& path,
                                 std::string_view wanted) const {
        switch (node.kind) {
            case NodeKind::mapping: fail(path, node, invalid_type(found::map, wanted));
            case NodeKind::sequence: fail(path, node, invalid_type(found::sequence, wanted));
            default: break;
        }
        const Scalar s = resolve(node);
        switch (s.kind) {
            case Scalar::Kind::null: fail(path, node, invalid_type(found::unit, wanted));
            case Scalar::Kind::boolean:
                fail(path, node, invalid_type(found::boolean(s.boolean), wanted));
            case Scalar::Kind::number:
                fail(path, node, invalid_type(found::number(s.number), wanted));
            case Scalar::Kind::string:
                fail(path, node, invalid_type(found::string(s.text), wanted));
            default: fail(path, node, invalid_value(found::string(s.text), s.expected));
        }
    }

    // ---- scalars

    Scalar resolve(const Node& node) const noexcept {
        return resolve_scalar(tree_.scalar(node), node.plain, tree_.tag(node));
    }

    static bool is_empty_plain(const Node& node) noexcept {
        return node.kind == NodeKind::scalar && node.plain && node.size == 0;
    }

    double f64(const Node& raw, const Path& path) const {
        const Node& node = tree_.resolve(raw);
        if (node.kind == NodeKind::scalar) {
            const Scalar s = resolve(node);
            if (s.kind == Scalar::Kind::number) return s.number.to_double();
        }
        fail_found(node, path, expected::f64);
    }

    std::uint64_t u64(const Node& raw, const Path& path) const {
        const Node& node = tree_.resolve(raw);
        if (node.kind == NodeKind::scalar) {
            const Scalar s = resolve(node);
            if (s.kind == Scalar::Kind::number && s.number.kind == Number::Kind::integer) {
                if (s.number.negative ||
                    s.number.magnitude > std::numeric_limits<std::uint64_t>::max()) {
                    fail(path, node, invalid_value(found::number(s.number), expected::u64));
                }
                return static_cast<std::uint64_t>(s.number.magnitude);
            }
        }
        fail_found(node, path, expected::u64);
    }

    // ---- records

    // Reads a mapping whose keys name the fields in `names`: on_field(index, value, path) for
    // every field present; keys of other names are skipped with their values; a name given twice
    // fails, and so does a field absent unless its bit is in `optional`. An empty plain scalar
    // reads as an empty mapping. wanted() renders what a node of another kind should have been.
    template <std::size_t N, class Wanted, class OnField>
    void read_record(const Node& raw, const Path& path, Wanted wanted, const Names<N>& names,
                     std::uint32_t optional, OnField&& on_field) {
        static_assert(N <= 32, "one bit per field");
        const Node& node = tree_.resolve(raw);
        std::uint32_t seen = 0;
        if (node.kind == NodeKind::mapping) {
            visit_entries(node, path, names, seen, false, on_field);
        } else if (!is_empty_plain(node)) {
            fail_found(node, path, wanted());
        }
        for (std::size_t k = 0; k < N; ++k) {
            const std::uint32_t bit = 1u << k;
            if (!(seen & bit) && !(optional & bit)) fail(path, node, missing_field(names[k]));
        }
    }

    // The mapping's own keys first, then those of its merge sources that are still unset. Within
    // merged mappings a key already set is passed over; among a mapping's own keys it is an error.
    template <std::size_t N, class OnField>
    void visit_entries(const Node& mapping, const Path& path, const Names<N>& names,
                       std::uint32_t& seen, bool merged, OnField& on_field) {
        const auto items = tree_.items(mapping);
        bool has_merge = false;
        for (std::size_t k = 0; k < items.size(); k += 2) {
            const Node& key = tree_.resolve(items[k]);
            if (is_merge_key(key)) {
                has_merge = true;
                continue;
            }
            if (key.kind != NodeKind::scalar) {
                fail_found(key, path, expected::field_identifier);
            }
            const int field = find(names, tree_.scalar(key));
            if (field < 0) continue;
            const std::uint32_t bit = 1u << field;
            if (seen & bit) {
                if (merged) continue;
                fail(path, key, duplicate_field(names[static_cast<std::size_t>(field)]));
            }
            seen |= bit;
            on_field(field, tree_.nodes[items[k + 1]],
                     child(path, names[static_cast<std::size_t>(field)]));
        }
        if (!has_merge) return;
        for (std::size_t k = 0; k < items.size(); k += 2) {
            if (is_merge_key(tree_.resolve(items[k]))) {
                merge(tree_.resolve(items[k + 1]), path, names, seen, on_field);
            }
        }
    }

    // A merge source: a mapping, or a sequence of mappings taken in order.
    template <std::size_t N, class OnField>
    void merge(const Node& source, const Path& path, const Names<N>& names, std::uint32_t& seen,
               OnField& on_field) {
        if (source.kind == NodeKind::mapping) {
            visit_entries(source, path, names, seen, true, on_field);
        } else if (source.kind == NodeKind::sequence) {
            for (const std::uint32_t index : tree_.items(source)) {
                const Node& item = tree_.resolve(index);
                if (item.kind == NodeKind::scalar) fail(path, item, text::merge_element_scalar);
                if (item.kind == NodeKind::sequence) {
                    fail(path, item, text::merge_element_sequence);
                }
                visit_entries(item, path, names, seen, true, on_field);
            }
        } else {
            fail(path, source, text::merge_needs_mapping);
        }
    }

    bool is_merge_key(const Node& key) const noexcept {
        return key.kind == NodeKind::scalar && key.plain && key.tag == 0 &&
               tree_.scalar(key) == "<<";
    }

    // ---- values, by the type of the member they are read into

    void read_value(const Node& raw, const Path& path, double& out) const { out = f64(raw, path); }

    void read_value(const Node& raw, const Path& path, std::uint64_t& out) const {
        out = u64(raw, path);
    }

    template <Record R>
    void read_value(const Node& raw, const Path& path, R& out) {
        read_fields(raw, path, out, [] { return "struct " + std::string(Schema<R>::name); });
    }

    // A null (untagged or tagged null) reads as nothing.
    template <class T>
    void read_value(const Node& raw, const Path& path, std::optional<T>& out) {
        const Node& node = tree_.resolve(raw);
        if (node.kind == NodeKind::scalar && node.plain && is_null_text(tree_.scalar(node))) {
            const std::string_view tag = tree_.tag(node);
            if (tag.empty() || tag == "tag:yaml.org,2002:null") {
                out.reset();
                return;
            }
        }
        T value{};
        read_value(node, path, value);
        out = std::move(value);
    }

    // The record's fields as the schema lists them, each read into its member.
    template <Record R, class Wanted>
    void read_fields(const Node& raw, const Path& path, R& out, Wanted wanted) {
        static constexpr auto keys = field_keys<R>();
        read_record(raw, path, wanted, keys, optional_fields<R>(),
                    [&](int index, const Node& value, const Path& at) {
                        visit_field<R>(static_cast<std::size_t>(index), [&](const auto& f) {
                            read_value(value, at, out.*f.member);
                        });
                    });
    }

    // ---- sequences

    // The elements of a sequence; an empty plain scalar reads as an empty sequence.
    std::span<const std::uint32_t> sequence(const Node& raw, const Path& path,
                                            std::string_view wanted) const {
        const Node& node = tree_.resolve(raw);
        if (node.kind == NodeKind::sequence) return tree_.items(node);
        if (!is_empty_plain(node)) fail_found(node, path, wanted);
        return {};
    }

    template <class T>
    void read_value(const Node& raw, const Path& path, std::vector<T>& out) {
        const auto items = sequence(raw, path, expected::sequence);
        std::vector<T> values;
        values.reserve(items.size());
        for (std::size_t k = 0; k < items.size(); ++k) {
            T value{};
            read_value(tree_.nodes[items[k]], element(path, k), value);
            values.push_back(std::move(value));
        }
        out = std::move(values);
    }

    // Exactly two end points.
    void read_value(const Node& raw, const Path& path, zam::Spider& out) {
        const Node& node = tree_.resolve(raw);
        const auto items = sequence(node, path, expected::spider);
        zam::Vec2D ends[2] = {};
        for (std::size_t k = 0; k < items.size() && k < 2; ++k) {
            read_value(tree_.nodes[items[k]], element(path, k), ends[k]);
        }
        if (items.size() < 2) fail(path, node, invalid_length(items.size(), expected::spider));
        if (items.size() > 2) {
            fail(path, node, invalid_length(items.size(), expected::spider_points));
        }
        out = {ends[0], ends[1]};
    }

    // ---- variants

    // The variant a node names: by its local tag ("!Name"), or for an untagged scalar by its
    // text. Fields follow only for tagged nodes.
    struct Variant {
        int index;
        bool tagged;
    };

    template <std::size_t N>
    Variant variant(const Node& node, const Path& path, const Names<N>& names) const {
        const std::string_view tag = tree_.tag(node);
        std::string_view name;
        const bool tagged = !tag.empty() && tag[0] == '!';
        if (tagged) {
            name = tag.size() > 1 ? tag.substr(1) : tag;
        } else if (node.kind == NodeKind::scalar) {
            name = tree_.scalar(node);
        } else {
            fail_found(node, path, expected::tag);
        }
        const int index = find(names, name);
        if (index < 0) fail(path, node, unknown_variant(name, names));
        if (index > 0 && !tagged) {
            fail(path, node, invalid_type(found::unit_variant, expected::struct_variant));
        }
        return {index, tagged};
    }

    // The tagged variant without fields: an empty or null plain scalar.
    void unit(const Node& node, const Path& path) const {
        if (node.kind != NodeKind::scalar) fail_found(node, path, expected::unit);
        const std::string_view text = tree_.scalar(node);
        if (!node.plain || !is_null_text(text)) {
            fail(path, node, invalid_value(found::string(text), expected::null));
        }
    }

    // Alternative 0, Zero, is a bare name or a tagged null; the others are tagged records.
    template <class... Alternatives>
    void read_value(const Node& raw, const Path& path, std::variant<Alternatives...>& out) {
        using V = std::variant<Alternatives...>;
        static_assert(std::is_same_v<std::variant_alternative_t<0, V>, zam::Zero>);
        static constexpr auto names = alternative_names<V>();
        const Node& node = tree_.resolve(raw);
        const Variant v = variant(node, path, names);
        if (v.index == 0) {
            if (v.tagged) unit(node, path);
            out = zam::Zero{};
            return;
        }
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (void)((v.index == static_cast<int>(I) ? (read_alternative<V, I>(node, path, out), true)
                                                   : false) ||
                   ...);
        }(std::index_sequence_for<Alternatives...>{});
    }

    template <class V, std::size_t I>
    void read_alternative(const Node& node, const Path& path, V& out) {
        using A = std::variant_alternative_t<I, V>;
        if constexpr (I > 0) {
            A value{};
            read_fields(node, path, value, [] {
                return "struct variant " + std::string(VariantSchema<V>::name) +
                       "::" + std::string(Schema<A>::name);
            });
            out = std::move(value);
        }
    }

    const Tree& tree_;
};

}  // namespace

SystemGeom read_system(const Tree& tree) {
    if (tree.documents == 0) fail_content({}, text::end_of_stream, std::nullopt);
    if (tree.documents > 1) fail_content({}, text::more_than_one_document, std::nullopt);
    return Reader(tree).system(tree.nodes.front());
}

}  // namespace vedov::document
