// The registry of lists, products, models and counts as Python values, for the Python layer.
#pragma once

#include "vedov/binding/python.hpp"
#include "vedov/registry.hpp"

namespace vedovx {

/// {"lists": ({"name", "holds"}, ...), "products": (...), "models": (...), "product_sets":
/// {"SystemMatrices": ({"field", "product", "rows", "cols", "lag", "ones"}, ...), ...},
/// "counts": (...), "steps": (...)}: every name in its table's order. A field's "cols" is None for
/// a projection, its "lag" None without one, its "ones" (the list whose size gives a projection's
/// 1.0s without a pupil) None for a matrix.
vedov::binding::Ref registry();

/// A system's counts by name: each list's size, "layers", and "pupil" (a bool).
vedov::binding::Ref counts(const vedov::SystemGeom& system);

/// A system's time steps by name ("simul_dt", "meas_dt").
vedov::binding::Ref steps(const vedov::SystemGeom& system);

}  // namespace vedovx
