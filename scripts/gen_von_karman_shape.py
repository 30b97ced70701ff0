"""Generates zam/von_karman_shape_coefficients.hpp: the coefficients of the exact von Karman shape.

The shape is g(x) = x^(5/6) K_5/6(x), evaluated from s = x^2 in two ranges:

- s < 4 (x < 2): g = E(s) - s^(5/6) O(s), where E and O are the even power series of the two
  modified Bessel functions I_-5/6 and I_5/6 that make up K_5/6; both are replaced by polynomials of
  degree 9 in s fitted to them on [0, 4] (relative to g), E's constant term being g(0) to the
  nearest double (O is tabulated negated).
- s >= 4 (x >= 2): g = e^(-x) x^(1/3) P(x) / Q(x), a rational of degree (6, 6) fitted to
  e^x x^(-1/3) g(x) on [2, inf) in the variable 1/x (its coefficients are all positive).

s^(-1/6) comes from a seed built on the bits of s, then two polynomial corrections of degree 3 in
e = s z^6 - 1, the first fitted over the seed's whole error range, the second over what remains.

All fits are weighted least squares on Chebyshev nodes refined by Lawson's iteration towards the
minimax solution, at 50 digits; the script prints each fit's largest relative error after rounding
the coefficients to doubles. Run from the repository root:

    python3 scripts/gen_von_karman_shape.py > zam/von_karman_shape_coefficients.hpp
"""

import sys

import mpmath as mp
import numpy as np

mp.mp.dps = 50
NU = mp.mpf(5) / 6
SMALL_LIMIT = 4  # s below which the series is used: x < 2
SEED = 0x4A970C00  # magic constant of the s^(-1/6) seed (high word)
SEED_DIVISOR = 0x2AAAAAAB  # ceil(2^32 / 6)


def g0():
    return mp.mpf(2) ** (-mp.mpf(1) / 6) * mp.gamma(NU)


def shape(x):
    """x^(5/6) K_5/6(x), g(0) at 0."""
    x = mp.mpf(x)
    return g0() if x == 0 else x**NU * mp.besselk(NU, x)


def series(s, sign):
    """E(s) (sign -1) or O(s) (sign +1):
    pi/(2 sin(nu pi)) 2^(-sign nu) sum_k (s/4)^k / (k! Gamma(k + 1 + sign nu))."""
    pre = mp.pi / (2 * mp.sin(NU * mp.pi)) * mp.mpf(2) ** (-sign * NU)
    total, k = mp.mpf(0), 0
    while True:
        term = (s / 4) ** k / (mp.factorial(k) * mp.gamma(k + 1 + sign * NU))
        total += term
        if abs(term) < mp.mpf(10) ** -45 * abs(total):
            return pre * total
        k += 1


def lawson_fit(basis, target, weight, points, iterations=30):
    """Coefficients c nearly minimising max_i weight_i |sum_k c_k basis_k(p_i) - target_i|."""
    rows = [[b(p) for b in basis] for p in points]
    lam = [mp.mpf(1)] * len(points)
    best = None
    for _ in range(iterations):
        scale = [mp.sqrt(l) * w for l, w in zip(lam, weight)]
        a = mp.matrix([[s * v for v in row] for s, row in zip(scale, rows)])
        b = mp.matrix([s * t for s, t in zip(scale, target)])
        c, _ = mp.qr_solve(a, b)
        err = [w * abs(mp.fsum(ck * v for ck, v in zip(c, row)) - t)
               for w, row, t in zip(weight, rows, target)]
        worst = max(err)
        if best is None or worst < best[1]:
            best = ([c[k] for k in range(len(basis))], worst)
        total = mp.fsum(l * e for l, e in zip(lam, err))
        lam = [l * e / total for l, e in zip(lam, err)]
    return best[0]


def chebyshev_points(a, b, n):
    return [a + (b - a) * (1 - mp.cos(mp.pi * (i + mp.mpf(1) / 2) / n)) / 2 for i in range(n)]


def as_double(c):
    return float(c)


def fit_series():
    points = chebyshev_points(mp.mpf(0), mp.mpf(SMALL_LIMIT), 120)
    shapes = [shape(mp.sqrt(s)) for s in points]
    e_const = mp.mpf(as_double(g0()))
    # E(s) = e0 + s (e1 + e2 s + ...): fit the rest with e0 fixed.
    basis = [lambda s, k=k: s ** (k + 1) for k in range(9)]
    e_rest = lawson_fit(basis, [series(s, -1) - e_const for s in points],
                        [1 / g for g in shapes], points)
    e_coeffs = [as_double(e_const)] + [as_double(c) for c in e_rest]
    basis = [lambda s, k=k: s**k for k in range(10)]
    o_coeffs = [as_double(c) for c in lawson_fit(
        basis, [series(s, 1) for s in points],
        [s ** (NU) / g for s, g in zip(points, shapes)], points)]
    return e_coeffs, o_coeffs


def large_ratio(x):
    return mp.e**x * shape(x) * x ** (-mp.mpf(1) / 3)


def fit_rational(degree=6, iterations=12):
    """P(u)/Q(u) ~ e^x x^(-1/3) g(x) with u = 1/x on [0, 1/2], Q(0) = 1 (Sanathanan-Koerner)."""
    points = chebyshev_points(mp.mpf(0), 1 / mp.sqrt(SMALL_LIMIT), 160)
    values = [mp.sqrt(mp.pi / 2) if u == 0 else large_ratio(1 / u) for u in points]
    q = [mp.mpf(1)] + [mp.mpf(0)] * degree
    lam = [mp.mpf(1)] * len(points)
    best = None
    for _ in range(iterations):
        rows, rhs = [], []
        for u, f, l in zip(points, values, lam):
            w = mp.sqrt(l) / (f * mp.polyval(q[::-1], u))
            rows.append([w * u**k for k in range(degree + 1)]
                        + [-w * f * u**k for k in range(1, degree + 1)])
            rhs.append(w * f)
        sol, _ = mp.qr_solve(mp.matrix(rows), mp.matrix(rhs))
        p = [sol[k] for k in range(degree + 1)]
        q = [mp.mpf(1)] + [sol[degree + 1 + k] for k in range(degree)]
        err = [abs(mp.polyval(p[::-1], u) / mp.polyval(q[::-1], u) / f - 1)
               for u, f in zip(points, values)]
        if best is None or max(err) < best[2]:
            best = (p, q, max(err))
        total = mp.fsum(l * e for l, e in zip(lam, err))
        lam = [l * e / total for l, e in zip(lam, err)]
    p, q, _ = best
    # In x: P(1/x)/Q(1/x) = (p0 x^6 + ... + p6) / (x^6 + q1 x^5 + ... + q6).
    return [as_double(c) for c in p], [as_double(c) for c in q[1:]]


def seed_error_range():
    """Smallest and largest s z0^6 - 1 of the seed over six octaves (its pattern's period)."""
    s = np.exp(np.linspace(0.0, np.log(64.0), 600001))
    high = s.view(np.uint64) >> np.uint64(32)
    quotient = (high * np.uint64(SEED_DIVISOR)) >> np.uint64(32)
    z = ((np.uint64(SEED) - quotient) << np.uint64(32)).view(np.float64)
    r = s * z**6 - 1
    return mp.mpf(float(r.min())), mp.mpf(float(r.max()))


def fit_root_correction(lo, hi):
    """c(e) ~ (1 + e)^(-1/6), degree 3, relative, on [lo, hi]."""
    points = chebyshev_points(lo, hi, 80)
    basis = [lambda e, k=k: e**k for k in range(4)]
    target = [(1 + e) ** (-mp.mpf(1) / 6) for e in points]
    return [as_double(c) for c in lawson_fit(basis, target, [1 / t for t in target], points)]


def correction_error(c, lo, hi):
    return max(abs(mp.polyval([mp.mpf(v) for v in c[::-1]], e) * (1 + e) ** (mp.mpf(1) / 6) - 1)
               for e in chebyshev_points(lo, hi, 400))


def report(name, value):
    print(f"{name}: {mp.nstr(value, 3)}", file=sys.stderr)


def main():
    e_coeffs, o_coeffs = fit_series()
    grid = [mp.mpf(SMALL_LIMIT) * k / 2000 for k in range(2001)]
    err = max(abs(mp.polyval([mp.mpf(v) for v in e_coeffs[::-1]], s)
                  - s**NU * mp.polyval([mp.mpf(v) for v in o_coeffs[::-1]], s)
                  - shape(mp.sqrt(s))) / shape(mp.sqrt(s)) for s in grid)
    report("series, relative, x < 2", err)

    p, q = fit_rational()
    xs = [2 + mp.mpf(k) ** 2 / 100 for k in range(400)]
    err = max(abs(mp.polyval([mp.mpf(v) for v in p], x)
                  / mp.polyval([mp.mpf(1)] + [mp.mpf(v) for v in q], x) / large_ratio(x) - 1)
              for x in xs)
    report("rational, relative, 2 <= x <= 1600", err)

    lo, hi = seed_error_range()
    first = fit_root_correction(lo * mp.mpf(1.001), hi * mp.mpf(1.001))
    remaining = 6 * correction_error(first, lo, hi) * mp.mpf(1.5)
    second = fit_root_correction(-remaining, remaining)
    report("seed, s z^6 - 1 within", max(-lo, hi))
    report("first correction, relative", correction_error(first, lo, hi))
    report("second correction, relative", correction_error(second, -remaining, remaining))

    def array(name, values, what):
        body = ",\n".join(f"    {v!r}" for v in values)
        return f"/// {what}\ninline constexpr double {name}[{len(values)}] = {{\n{body},\n}};\n"

    print("// Coefficients of the exact von Kármán shape; made by scripts/gen_von_karman_shape.py.")
    print("#pragma once")
    print()
    print("#include <cstdint>")
    print()
    print("// One coefficient a line, as generated.")
    print("// clang-format off")
    print("namespace zam::von_karman_shape_coefficients {")
    print()
    print(f"/// The series range is s < {SMALL_LIMIT}.0 (x < 2).")
    print(f"inline constexpr double small_limit = {SMALL_LIMIT}.0;")
    print("/// The s^(-1/6) seed: (seed_constant - (high(s) * seed_divisor >> 32)) << 32.")
    print(f"inline constexpr std::uint64_t seed_constant = 0x{SEED:08X};")
    print(f"inline constexpr std::uint64_t seed_divisor = 0x{SEED_DIVISOR:08X};")
    print()
    print(array("even", e_coeffs, "E(s) in powers of s, from s^0 (g(0) to the nearest double)."))
    print(array("minus_odd", [-c for c in o_coeffs], "-O(s) in powers of s, from s^0."))
    print(array("numerator", p, "P(x) in powers of x, from x^6 down to x^0."))
    print(array("denominator", q, "Q(x) - x^6 in powers of x, from x^5 down to x^0."))
    print(array("first_root_correction", first, "(1 + e)^(-1/6) over the seed's range, from e^0."))
    print(array("second_root_correction", second, "(1 + e)^(-1/6) after the first correction."))
    print("}  // namespace zam::von_karman_shape_coefficients")
    print("// clang-format on")


if __name__ == "__main__":
    main()
