// The record reader: walks the node tree along the system's fields, with merge keys applied.
#include "vedov/document/reader.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <string>

#include "vedov/document/errors.hpp"
#include "vedov/document/scalar.hpp"

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

constexpr Names<9> system_fields = {"meas",  "phi",        "ts",       "com",    "cov_model",
                                    "pupil", "meas_lines", "simul_dt", "meas_dt"};
constexpr std::uint32_t pupil_field = 1u << 5;
constexpr Names<4> pupil_fields = {"rad_outer", "rad_inner", "spider_thickness", "spiders"};
constexpr Names<4> layer_fields = {"r0", "l0", "alt", "v"};
constexpr Names<4> line_fields = {"x0", "xz", "y0", "yz"};
constexpr Names<2> vec2d_fields = {"x", "y"};
constexpr Names<3> vec3d_fields = {"x", "y", "z"};
constexpr Names<4> measurement_variants = {"Zero", "Phase", "SlopeTwoLine", "SlopeTwoEdge"};
constexpr Names<1> phase_fields = {"line"};
constexpr Names<2> slope_two_line_fields = {"line_pos", "line_neg"};
constexpr Names<6> slope_two_edge_fields = {"central_line",  "edge_length", "edge_separation",
                                            "gradient_axis", "npoints",     "altitude"};
constexpr Names<3> actuator_variants = {"Zero", "Gaussian", "TipTilt"};
constexpr Names<3> gaussian_fields = {"sigma", "position", "microns_per_volt"};
constexpr Names<1> tip_tilt_fields = {"unit_response"};

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
        const Path path;
        read_record(root, path, expected::system_geom, system_fields, pupil_field,
                    [&](int field, const Node& value, const Path& at) {
                        switch (field) {
                            case 0: s.meas = measurements(value, at); break;
                            case 1: s.phi = measurements(value, at); break;
                            case 2: s.ts = measurements(value, at); break;
                            case 3: s.com = actuators(value, at); break;
                            case 4: s.cov_model = layers(value, at); break;
                            case 5: s.pupil = optional_pupil(value, at); break;
                            case 6: s.meas_lines = lines(value, at); break;
                            case 7: s.simul_dt = f64(value, at); break;
                            default: s.meas_dt = f64(value, at); break;
                        }
                    });
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
    // reads as an empty mapping.
    template <std::size_t N, class OnField>
    void read_record(const Node& raw, const Path& path, std::string_view wanted,
                     const Names<N>& names, std::uint32_t optional, OnField&& on_field) {
        const Node& node = tree_.resolve(raw);
        std::uint32_t seen = 0;
        if (node.kind == NodeKind::mapping) {
            visit_entries(node, path, names, seen, false, on_field);
        } else if (!is_empty_plain(node)) {
            fail_found(node, path, wanted);
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

    // A record of floats only.
    template <std::size_t N>
    std::array<double, N> floats(const Node& raw, const Path& path, std::string_view wanted,
                                 const Names<N>& names) {
        std::array<double, N> values{};
        read_record(raw, path, wanted, names, 0, [&](int field, const Node& value, const Path& at) {
            values[static_cast<std::size_t>(field)] = f64(value, at);
        });
        return values;
    }

    zam::Vec2D vec2d(const Node& raw, const Path& path) {
        const auto v = floats(raw, path, expected::vec2d, vec2d_fields);
        return {v[0], v[1]};
    }

    zam::Vec3D vec3d(const Node& raw, const Path& path) {
        const auto v = floats(raw, path, expected::vec3d, vec3d_fields);
        return {v[0], v[1], v[2]};
    }

    zam::Line line(const Node& raw, const Path& path) {
        const auto v = floats(raw, path, expected::line, line_fields);
        return {v[0], v[1], v[2], v[3]};
    }

    zam::VonKarmanLayer layer(const Node& raw, const Path& path) {
        zam::VonKarmanLayer l{};
        read_record(raw, path, expected::layer, layer_fields, 0,
                    [&](int field, const Node& value, const Path& at) {
                        switch (field) {
                            case 0: l.r0 = f64(value, at); break;
                            case 1: l.l0 = f64(value, at); break;
                            case 2: l.alt = f64(value, at); break;
                            default: l.v = vec2d(value, at); break;
                        }
                    });
        return l;
    }

    std::optional<zam::Pupil> optional_pupil(const Node& raw, const Path& path) {
        const Node& node = tree_.resolve(raw);
        if (node.kind == NodeKind::scalar && node.plain && is_null_text(tree_.scalar(node))) {
            const std::string_view tag = tree_.tag(node);
            if (tag.empty() || tag == "tag:yaml.org,2002:null") return std::nullopt;
        }
        zam::Pupil p{};
        read_record(node, path, expected::pupil, pupil_fields, 0,
                    [&](int field, const Node& value, const Path& at) {
                        switch (field) {
                            case 0: p.rad_outer = f64(value, at); break;
                            case 1: p.rad_inner = f64(value, at); break;
                            case 2: p.spider_thickness = f64(value, at); break;
                            default: p.spiders = spiders(value, at); break;
                        }
                    });
        return p;
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

    template <class Read>
    auto elements(const Node& raw, const Path& path, Read read) {
        const auto items = sequence(raw, path, expected::sequence);
        std::vector<decltype(read(raw, path))> values;
        values.reserve(items.size());
        for (std::size_t k = 0; k < items.size(); ++k) {
            values.push_back(read(tree_.nodes[items[k]], element(path, k)));
        }
        return values;
    }

    std::vector<zam::Measurement> measurements(const Node& raw, const Path& path) {
        return elements(raw, path,
                        [&](const Node& n, const Path& at) { return measurement(n, at); });
    }

    std::vector<zam::Actuator> actuators(const Node& raw, const Path& path) {
        return elements(raw, path, [&](const Node& n, const Path& at) { return actuator(n, at); });
    }

    zam::VonKarmanLayers layers(const Node& raw, const Path& path) {
        return elements(raw, path, [&](const Node& n, const Path& at) { return layer(n, at); });
    }

    std::vector<zam::Line> lines(const Node& raw, const Path& path) {
        return elements(raw, path, [&](const Node& n, const Path& at) { return line(n, at); });
    }

    std::vector<zam::Spider> spiders(const Node& raw, const Path& path) {
        return elements(raw, path, [&](const Node& n, const Path& at) { return spider(n, at); });
    }

    // Exactly two end points.
    zam::Spider spider(const Node& raw, const Path& path) {
        const Node& node = tree_.resolve(raw);
        const auto items = sequence(node, path, expected::spider);
        zam::Vec2D ends[2] = {};
        for (std::size_t k = 0; k < items.size() && k < 2; ++k) {
            ends[k] = vec2d(tree_.nodes[items[k]], element(path, k));
        }
        if (items.size() < 2) fail(path, node, invalid_length(items.size(), expected::spider));
        if (items.size() > 2) {
            fail(path, node, invalid_length(items.size(), expected::spider_points));
        }
        return {ends[0], ends[1]};
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

    zam::Measurement measurement(const Node& raw, const Path& path) {
        const Node& node = tree_.resolve(raw);
        const Variant v = variant(node, path, measurement_variants);
        switch (v.index) {
            case 0:
                if (v.tagged) unit(node, path);
                return zam::Zero{};
            case 1: {
                zam::Phase m{};
                read_record(
                    node, path, expected::phase, phase_fields, 0,
                    [&](int, const Node& value, const Path& at) { m.line = line(value, at); });
                return m;
            }
            case 2: {
                zam::SlopeTwoLine m{};
                read_record(node, path, expected::slope_two_line, slope_two_line_fields, 0,
                            [&](int field, const Node& value, const Path& at) {
                                (field == 0 ? m.line_pos : m.line_neg) = line(value, at);
                            });
                return m;
            }
            default: {
                zam::SlopeTwoEdge m{};
                read_record(node, path, expected::slope_two_edge, slope_two_edge_fields, 0,
                            [&](int field, const Node& value, const Path& at) {
                                switch (field) {
                                    case 0: m.central_line = line(value, at); break;
                                    case 1: m.edge_length = f64(value, at); break;
                                    case 2: m.edge_separation = f64(value, at); break;
                                    case 3: m.gradient_axis = vec2d(value, at); break;
                                    case 4: m.npoints = u64(value, at); break;
                                    default: m.altitude = f64(value, at); break;
                                }
                            });
                return m;
            }
        }
    }

    zam::Actuator actuator(const Node& raw, const Path& path) {
        const Node& node = tree_.resolve(raw);
        const Variant v = variant(node, path, actuator_variants);
        switch (v.index) {
            case 0:
                if (v.tagged) unit(node, path);
                return zam::Zero{};
            case 1: {
                zam::Gaussian a{};
                read_record(node, path, expected::gaussian, gaussian_fields, 0,
                            [&](int field, const Node& value, const Path& at) {
                                switch (field) {
                                    case 0: a.sigma = f64(value, at); break;
                                    case 1: a.position = vec3d(value, at); break;
                                    default: a.microns_per_volt = f64(value, at); break;
                                }
                            });
                return a;
            }
            default: {
                zam::TipTilt a{};
                read_record(node, path, expected::tip_tilt, tip_tilt_fields, 0,
                            [&](int, const Node& value, const Path& at) {
                                a.unit_response = vec2d(value, at);
                            });
                return a;
            }
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
