// What the companion evaluates: a matrix of chosen entries of two of a system's lists
// (Python-free).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "vedov/registry.hpp"
#include "vedov/system_geom.hpp"
#include "zam/parallel.hpp"
#include "zam/turbulence.hpp"

namespace vedovx {

// The lists and products are the registry's.
using vedov::List;
using vedov::list_size;
using vedov::measurements;
using vedov::Product;

/// How a covariance is evaluated: every element on its own, or with the elements between
/// compatible lattices read from per-pair tables by site difference (zam::StructuredCovMat).
enum class Method { direct, structured };

inline constexpr Method covariance_methods[] = {Method::direct, Method::structured};

constexpr std::string_view method_name(Method method) noexcept {
    switch (method) {
        case Method::direct: return "direct";
        case Method::structured: return "structured";
    }
    __builtin_unreachable();
}

/// The method of that name; false when there is none.
constexpr bool method_named(std::string_view name, Method& method) noexcept {
    for (Method candidate : covariance_methods) {
        if (method_name(candidate) == name) {
            method = candidate;
            return true;
        }
    }
    return false;
}

/// Chosen entries of a list: every entry in order, or the entries at `indices`, in their order
/// (repeats allowed; each one less than the list's size, as the caller checked).
struct Selection {
    bool all = true;
    std::span<const std::int64_t> indices;

    std::size_t size(std::size_t list_entries) const noexcept {
        return all ? list_entries : indices.size();
    }
};

struct Request {
    Product product;
    List rows;
    Selection row_selection;
    List cols = List::com;  ///< covariance: the column measurements
    Selection col_selection;
    double lag = 0.0;                                                ///< covariance only
    zam::CovarianceModel model = zam::CovarianceModel::closed_form;  ///< covariance only
    Method method = Method::direct;                                  ///< covariance only
    Selection layer_selection;  ///< covariance only: the layers it sums over
};

/// The layers a covariance of `request` sums over: the system's, or the chosen ones in their
/// order (so the covariance equals, bit for bit, that of a system holding only those layers).
zam::VonKarmanLayers layers_of(const vedov::SystemGeom& system, const Request& request);

/// The result's shape: selected rows × selected columns (one column for a projection).
std::size_t result_rows(const vedov::SystemGeom& system, const Request& request) noexcept;
std::size_t result_cols(const vedov::SystemGeom& system, const Request& request) noexcept;

/// Builds the request's matrix over `system` and fills `target` with it, inside the current
/// arena: element (i, j) equals, bit for bit, the element of the whole matrix (of the same method)
/// at the selected row and column. A projection without a pupil is all 1.0.
void evaluate(const vedov::SystemGeom& system, const Request& request, const zam::Target& target,
              zam::Progress& progress);

}  // namespace vedovx
