// The turbulence records (a von Kármán layer with its wind, the layer stack) and their covariance.
#pragma once

#include <cmath>
#include <string_view>
#include <type_traits>
#include <vector>

#include "zam/geometry.hpp"
#include "zam/von_karman_shape.hpp"

namespace zam {

struct VonKarmanLayer {
    double r0;   ///< Fried parameter of this layer alone
    double l0;   ///< outer scale
    double alt;  ///< altitude above the pupil plane
    Vec2D v;     ///< wind velocity (length per unit time)
    friend bool operator==(const VonKarmanLayer&, const VonKarmanLayer&) = default;
};

/// The turbulence model: statistically independent layers, in order.
using VonKarmanLayers = std::vector<VonKarmanLayer>;

/// The two per-layer constants of a covariance term, formed exactly as every term forms them.
struct LayerConstants {
    double scale;  ///< pow(l0 / r0, 5/3) · 0.08583068106228546
    double k;      ///< 6.283185307179586 / l0, the wavenumber of the outer scale
};

inline LayerConstants layer_constants(const VonKarmanLayer& layer) {
    return {std::pow(layer.l0 / layer.r0, 5.0 / 3.0) * 0.08583068106228546,
            6.283185307179586 / layer.l0};
}

/// One layer's covariance of the phase at two points (dx, dy) apart: scale · f(k·r), with the
/// closed-form stand-in f(x) = ((1.7404436x + 1)(1.0056349 e^(-0.9359968x))) / (x + 1) for the
/// von Kármán x^(5/6) K_5/6(x).
inline double layer_term(const LayerConstants& c, double dx, double dy) {
    const double r = std::sqrt(dx * dx + dy * dy);
    const double x = c.k * r;
    const double decay = std::exp(x * -0.9359968) * 1.0056349;
    const double f = ((x * 1.7404436 + 1.0) * decay) / (x + 1.0);
    return c.scale * f;
}

/// Which shape a covariance's layer terms follow: the closed form f of layer_term (the default,
/// vedov's own), or the exact von Kármán x^(5/6) K_5/6(x) of exact_layer_term. A new model has a
/// name here, a term (ModelTermOf), a vector kernel (simd_kernel.inl) and a place in
/// covariance_models; every dispatch over the models is a switch without default, so the compiler
/// names each one that lacks it.
enum class CovarianceModel { closed_form, exact };

/// Every model, in the order callers list them.
inline constexpr CovarianceModel covariance_models[] = {CovarianceModel::closed_form,
                                                        CovarianceModel::exact};

/// The model's name, as callers choose it.
constexpr std::string_view model_name(CovarianceModel model) noexcept {
    switch (model) {
        case CovarianceModel::closed_form: return "closed-form";
        case CovarianceModel::exact: return "exact";
    }
    __builtin_unreachable();
}

/// The model of that name; false when there is none.
constexpr bool model_named(std::string_view name, CovarianceModel& model) noexcept {
    for (CovarianceModel candidate : covariance_models) {
        if (model_name(candidate) == name) {
            model = candidate;
            return true;
        }
    }
    return false;
}

/// The model as a compile-time constant.
template <CovarianceModel model>
using ModelConstant = std::integral_constant<CovarianceModel, model>;

/// body(ModelConstant<model>{}): the one place where a model chosen at run time picks the code
/// instantiated for it.
template <class Body>
decltype(auto) with_model(CovarianceModel model, Body&& body) {
    switch (model) {
        case CovarianceModel::closed_form:
            return body(ModelConstant<CovarianceModel::closed_form>{});
        case CovarianceModel::exact: return body(ModelConstant<CovarianceModel::exact>{});
    }
    __builtin_unreachable();
}

/// One layer's exact von Kármán covariance of the phase at two points (dx, dy) apart:
/// scale · g(s), s = (k · k) · (dx · dx + dy · dy) = x², g = x^(5/6) K_5/6(x) (von_karman_shape).
inline double exact_layer_term(const LayerConstants& c, double dx, double dy) {
    return c.scale * von_karman_shape((c.k * c.k) * (dx * dx + dy * dy));
}

/// The layer terms as function objects, for loops instantiated per model.
struct ClosedFormTerm {
    double operator()(const LayerConstants& c, double dx, double dy) const {
        return layer_term(c, dx, dy);
    }
};
struct ExactTerm {
    double operator()(const LayerConstants& c, double dx, double dy) const {
        return exact_layer_term(c, dx, dy);
    }
};
/// The term of each model (a model without one fails to compile where it is used).
template <CovarianceModel model>
struct ModelTermOf;
template <>
struct ModelTermOf<CovarianceModel::closed_form> {
    using type = ClosedFormTerm;
};
template <>
struct ModelTermOf<CovarianceModel::exact> {
    using type = ExactTerm;
};
template <CovarianceModel model>
using ModelTerm = typename ModelTermOf<model>::type;
/// ExactTerm's bits with the CPU's fused multiply-add, for loops compiled for it.
struct ExactTermFma {
    __attribute__((target("fma"))) double operator()(const LayerConstants& c, double dx,
                                                     double dy) const {
        return c.scale * von_karman_shape_fma((c.k * c.k) * (dx * dx + dy * dy));
    }
};

/// Covariance of the turbulent phase along line a with that along line b, each layer read along b
/// at the point displaced by -v·t (frozen flow over the lag t); layers summed in order from -0.0.
double cosample_lines(const VonKarmanLayers& layers, const Line& a, const Line& b, double t);

}  // namespace zam
