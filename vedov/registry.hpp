// The one table of what a system's matrices are made of: its lists, the products of
// SystemMatrices and ReconMatrices in evaluation order, the lags they read, and its counts.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "vedov/products.hpp"
#include "vedov/system_geom.hpp"
#include "zam/dense_matrix.hpp"

namespace vedov {

/// The lists of a system that a matrix takes its rows or columns from.
enum class List { meas, phi, ts, com, meas_lines };

/// What the entries of a list are.
enum class ListHolds { measurements, actuators, lines };

/// Every list, in the order of the counts.
inline constexpr List lists[] = {List::meas, List::phi, List::ts, List::com, List::meas_lines};

/// The list's name, as documents and callers spell it ("meas", "meas_lines", ...).
constexpr std::string_view list_name(List list) noexcept {
    switch (list) {
        case List::meas: return "meas";
        case List::phi: return "phi";
        case List::ts: return "ts";
        case List::com: return "com";
        case List::meas_lines: return "meas_lines";
    }
    __builtin_unreachable();
}

constexpr ListHolds list_holds(List list) noexcept {
    switch (list) {
        case List::meas:
        case List::phi:
        case List::ts: return ListHolds::measurements;
        case List::com: return ListHolds::actuators;
        case List::meas_lines: return ListHolds::lines;
    }
    __builtin_unreachable();
}

constexpr std::string_view holds_name(ListHolds holds) noexcept {
    switch (holds) {
        case ListHolds::measurements: return "measurements";
        case ListHolds::actuators: return "actuators";
        case ListHolds::lines: return "lines";
    }
    __builtin_unreachable();
}

/// The list of that name; false when there is none.
constexpr bool list_named(std::string_view name, List& list) noexcept {
    for (List candidate : lists) {
        if (list_name(candidate) == name) {
            list = candidate;
            return true;
        }
    }
    return false;
}

/// Entries of the list.
std::size_t list_size(const SystemGeom& system, List list) noexcept;

/// The measurements of a list that holds measurements; a zam::Failure for another list.
std::span<const zam::Measurement> measurements(const SystemGeom& system, List list);

/// What a matrix is made of.
enum class Product {
    covariance,   ///< measurements × measurements through the layers at a lag
    interaction,  ///< measurements × the actuators of com
    projection,   ///< measurements (or measurement lines) × the pupil: one value each
};

inline constexpr Product products[] = {Product::covariance, Product::interaction,
                                       Product::projection};

constexpr std::string_view product_name(Product product) noexcept {
    switch (product) {
        case Product::covariance: return "covariance";
        case Product::interaction: return "interaction";
        case Product::projection: return "projection";
    }
    __builtin_unreachable();
}

/// The product of that name; false when there is none.
constexpr bool product_named(std::string_view name, Product& product) noexcept {
    for (Product candidate : products) {
        if (product_name(candidate) == name) {
            product = candidate;
            return true;
        }
    }
    return false;
}

/// Where a covariance's lag comes from: none (0.0) or one of the system's time steps.
enum class LagSource { none, simul_dt, meas_dt };

/// The time step's field name; empty for none.
constexpr std::string_view lag_name(LagSource lag) noexcept {
    switch (lag) {
        case LagSource::none: return "";
        case LagSource::simul_dt: return "simul_dt";
        case LagSource::meas_dt: return "meas_dt";
    }
    __builtin_unreachable();
}

/// The system's time steps, by field name, in order.
inline constexpr LagSource time_steps[] = {LagSource::simul_dt, LagSource::meas_dt};

double lag_of(const SystemGeom& system, LagSource lag) noexcept;

/// One field of a product set: what it is, over which lists, at which lag; the member it is stored
/// in (`matrix` for covariance and interaction, `values` for a projection).
template <class Set>
struct ProductField {
    std::string_view name;
    Product product;
    List rows;
    List cols;      ///< covariance: the column measurements; interaction: com; projection: unused
    LagSource lag;  ///< covariance only
    List ones;      ///< projection: without a pupil, one 1.0 per entry of this list
    zam::DenseMatrix Set::*matrix;
    std::vector<double> Set::*values;
};

/// A product set (SystemMatrices, ReconMatrices): its class name, and its fields in vedov's order
/// of evaluation.
template <class Set>
struct ProductSet;

template <>
struct ProductSet<SystemMatrices> {
    static constexpr std::string_view name = "SystemMatrices";
    static constexpr std::array<ProductField<SystemMatrices>, 7> fields{{
        {"c_phi_phi", Product::covariance, List::phi, List::phi, LagSource::none, List::phi,
         &SystemMatrices::c_phi_phi, nullptr},
        {"c_phip1_phi", Product::covariance, List::phi, List::phi, LagSource::simul_dt, List::phi,
         &SystemMatrices::c_phip1_phi, nullptr},
        {"c_meas_phi", Product::covariance, List::meas, List::phi, LagSource::none, List::meas,
         &SystemMatrices::c_meas_phi, nullptr},
        {"d_meas_com", Product::interaction, List::meas, List::com, LagSource::none, List::meas,
         &SystemMatrices::d_meas_com, nullptr},
        {"d_phi_com", Product::interaction, List::phi, List::com, LagSource::none, List::phi,
         &SystemMatrices::d_phi_com, nullptr},
        {"p_phi", Product::projection, List::phi, List::com, LagSource::none, List::phi, nullptr,
         &SystemMatrices::p_phi},
        // Without a pupil, one value per measurement; with one, one per measurement line.
        {"p_meas", Product::projection, List::meas_lines, List::com, LagSource::none, List::meas,
         nullptr, &SystemMatrices::p_meas},
    }};
};

template <>
struct ProductSet<ReconMatrices> {
    static constexpr std::string_view name = "ReconMatrices";
    static constexpr std::array<ProductField<ReconMatrices>, 5> fields{{
        {"c_meas_meas", Product::covariance, List::meas, List::meas, LagSource::none, List::meas,
         &ReconMatrices::c_meas_meas, nullptr},
        {"c_ts_meas", Product::covariance, List::ts, List::meas, LagSource::meas_dt, List::ts,
         &ReconMatrices::c_ts_meas, nullptr},
        {"d_meas_com", Product::interaction, List::meas, List::com, LagSource::none, List::meas,
         &ReconMatrices::d_meas_com, nullptr},
        {"d_ts_com", Product::interaction, List::ts, List::com, LagSource::none, List::ts,
         &ReconMatrices::d_ts_com, nullptr},
        {"p_meas", Product::projection, List::meas_lines, List::com, LagSource::none,
         List::meas_lines, nullptr, &ReconMatrices::p_meas},
    }};
};

namespace detail {

// Each name of a table finds its own entry.
template <class Table, class Name, class Named>
constexpr bool names_round_trip(const Table& table, Name name, Named named) {
    for (const auto& entry : table) {
        auto found = entry;
        if (!named(name(entry), found) || found != entry) return false;
    }
    return true;
}

// A field stores a projection as values and a matrix as a matrix; a covariance reads
// measurements on both sides, an interaction com; a projection's 1.0s come from a list it sizes.
template <class Set>
constexpr bool fields_are_sound() {
    for (const ProductField<Set>& f : ProductSet<Set>::fields) {
        const bool projection = f.product == Product::projection;
        if ((f.matrix == nullptr) != projection || (f.values == nullptr) == projection)
            return false;
        if (f.lag != LagSource::none && f.product != Product::covariance) return false;
        switch (f.product) {
            case Product::covariance:
                if (list_holds(f.cols) != ListHolds::measurements) return false;
                [[fallthrough]];
            case Product::interaction:
                if (list_holds(f.rows) != ListHolds::measurements) return false;
                if (f.product == Product::interaction && f.cols != List::com) return false;
                break;
            case Product::projection:
                if (f.rows == List::com || f.ones == List::com) return false;
                break;
        }
    }
    return true;
}

}  // namespace detail

static_assert(detail::names_round_trip(lists, list_name, list_named));
static_assert(detail::names_round_trip(products, product_name, product_named));
static_assert(detail::names_round_trip(zam::covariance_models, zam::model_name, zam::model_named));
static_assert(detail::fields_are_sound<SystemMatrices>());
static_assert(detail::fields_are_sound<ReconMatrices>());

/// A system's counts: each list's size in the order of `lists`, its layers, and whether it has a
/// pupil. Their names: the lists' names, then "layers" and "pupil".
struct Counts {
    std::array<std::size_t, std::size(lists)> sizes;  ///< in the order of `lists`
    std::size_t layers;
    bool pupil;
};
inline constexpr std::string_view layers_count_name = "layers";
inline constexpr std::string_view pupil_count_name = "pupil";

Counts counts_of(const SystemGeom& system) noexcept;

}  // namespace vedov
