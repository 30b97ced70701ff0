// The document's records: each record's name and its fields (key, member) in document order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>

#include "vedov/system_geom.hpp"

namespace vedov::document {

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;

/// One field of a record: its key in the document and the member holding it. A field held in a
/// std::optional may be left out of the document.
template <class Record, class Member>
struct Field {
    std::string_view key;
    Member Record::*member;
    static constexpr bool optional = is_optional<Member>;
};

template <class Record, class Member>
constexpr Field<Record, Member> field(std::string_view key, Member Record::*member) {
    return {key, member};
}

/// A record: `name`, as messages give it, and `fields`, a tuple of Field in document order. The
/// alternatives of a variant are records too, written as a mapping tagged "!name" (Zero, without
/// fields, as its bare name).
template <class Record>
struct Schema;

/// The name of a variant as messages give it; its alternative 0 is Zero.
template <class Variant>
struct VariantSchema;

template <>
struct Schema<zam::Vec2D> {
    static constexpr std::string_view name = "Vec2D";
    static constexpr auto fields =
        std::tuple{field("x", &zam::Vec2D::x), field("y", &zam::Vec2D::y)};
};

template <>
struct Schema<zam::Vec3D> {
    static constexpr std::string_view name = "Vec3D";
    static constexpr auto fields = std::tuple{
        field("x", &zam::Vec3D::x), field("y", &zam::Vec3D::y), field("z", &zam::Vec3D::z)};
};

template <>
struct Schema<zam::Line> {
    static constexpr std::string_view name = "Line";
    static constexpr auto fields =
        std::tuple{field("x0", &zam::Line::x0), field("xz", &zam::Line::xz),
                   field("y0", &zam::Line::y0), field("yz", &zam::Line::yz)};
};

template <>
struct Schema<zam::VonKarmanLayer> {
    static constexpr std::string_view name = "VonKarmanLayer";
    static constexpr auto fields =
        std::tuple{field("r0", &zam::VonKarmanLayer::r0), field("l0", &zam::VonKarmanLayer::l0),
                   field("alt", &zam::VonKarmanLayer::alt), field("v", &zam::VonKarmanLayer::v)};
};

template <>
struct Schema<zam::Pupil> {
    static constexpr std::string_view name = "Pupil";
    static constexpr auto fields = std::tuple{
        field("rad_outer", &zam::Pupil::rad_outer), field("rad_inner", &zam::Pupil::rad_inner),
        field("spider_thickness", &zam::Pupil::spider_thickness),
        field("spiders", &zam::Pupil::spiders)};
};

template <>
struct Schema<zam::Zero> {
    static constexpr std::string_view name = "Zero";
    static constexpr auto fields = std::tuple{};
};

template <>
struct VariantSchema<zam::Measurement> {
    static constexpr std::string_view name = "Measurement";
};

template <>
struct Schema<zam::Phase> {
    static constexpr std::string_view name = "Phase";
    static constexpr auto fields = std::tuple{field("line", &zam::Phase::line)};
};

template <>
struct Schema<zam::SlopeTwoLine> {
    static constexpr std::string_view name = "SlopeTwoLine";
    static constexpr auto fields = std::tuple{field("line_pos", &zam::SlopeTwoLine::line_pos),
                                              field("line_neg", &zam::SlopeTwoLine::line_neg)};
};

template <>
struct Schema<zam::SlopeTwoEdge> {
    static constexpr std::string_view name = "SlopeTwoEdge";
    static constexpr auto fields =
        std::tuple{field("central_line", &zam::SlopeTwoEdge::central_line),
                   field("edge_length", &zam::SlopeTwoEdge::edge_length),
                   field("edge_separation", &zam::SlopeTwoEdge::edge_separation),
                   field("gradient_axis", &zam::SlopeTwoEdge::gradient_axis),
                   field("npoints", &zam::SlopeTwoEdge::npoints),
                   field("altitude", &zam::SlopeTwoEdge::altitude)};
};

template <>
struct VariantSchema<zam::Actuator> {
    static constexpr std::string_view name = "Actuator";
};

template <>
struct Schema<zam::Gaussian> {
    static constexpr std::string_view name = "Gaussian";
    static constexpr auto fields = std::tuple{
        field("sigma", &zam::Gaussian::sigma), field("position", &zam::Gaussian::position),
        field("microns_per_volt", &zam::Gaussian::microns_per_volt)};
};

template <>
struct Schema<zam::TipTilt> {
    static constexpr std::string_view name = "TipTilt";
    static constexpr auto fields = std::tuple{field("unit_response", &zam::TipTilt::unit_response)};
};

template <>
struct Schema<SystemGeom> {
    static constexpr std::string_view name = "SystemGeom";
    static constexpr auto fields = std::tuple{field("meas", &SystemGeom::meas),
                                              field("phi", &SystemGeom::phi),
                                              field("ts", &SystemGeom::ts),
                                              field("com", &SystemGeom::com),
                                              field("cov_model", &SystemGeom::cov_model),
                                              field("pupil", &SystemGeom::pupil),
                                              field("meas_lines", &SystemGeom::meas_lines),
                                              field("simul_dt", &SystemGeom::simul_dt),
                                              field("meas_dt", &SystemGeom::meas_dt)};
};

/// True for the types above with fields of their own.
template <class T>
concept Record = requires { Schema<T>::fields; };

/// The record's keys in document order.
template <Record R>
constexpr auto field_keys() {
    return std::apply(
        [](const auto&... f) { return std::array<std::string_view, sizeof...(f)>{f.key...}; },
        Schema<R>::fields);
}

/// The record's fields that may be left out, bit k for field k.
template <Record R>
constexpr std::uint32_t optional_fields() {
    return std::apply(
        [](const auto&... f) {
            std::uint32_t mask = 0;
            std::uint32_t bit = 1;
            ((mask |= f.optional ? bit : 0u, bit <<= 1), ...);
            return mask;
        },
        Schema<R>::fields);
}

/// Calls visit(field) for each field of the record, in document order.
template <Record R, class Visit>
void for_each_field(Visit&& visit) {
    std::apply([&](const auto&... f) { (visit(f), ...); }, Schema<R>::fields);
}

/// Calls visit(field) for the record's field number `index`.
template <Record R, class Visit>
void visit_field(std::size_t index, Visit&& visit) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (void)((index == I ? (visit(std::get<I>(Schema<R>::fields)), true) : false) || ...);
    }(std::make_index_sequence<std::tuple_size_v<decltype(Schema<R>::fields)>>{});
}

/// The names of a variant's alternatives, in the order of its index.
template <class V>
constexpr auto alternative_names() {
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<std::string_view, sizeof...(I)>{
            Schema<std::variant_alternative_t<I, V>>::name...};
    }(std::make_index_sequence<std::variant_size_v<V>>{});
}

}  // namespace vedov::document
