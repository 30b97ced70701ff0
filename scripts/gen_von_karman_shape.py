"""Generates zam/von_karman_shape_coefficients.hpp: the coefficients of the exact von Karman shape.

The shape is g(x) = x^(5/6) K_5/6(x), evaluated from s = x^2 in three kinds of range:

- near, x < 0.5: g = E(s) - s^(5/6) O(s), where E and O are the even power series of the two
  modified Bessel functions I_-5/6 and I_5/6 that make up K_5/6; both are replaced by polynomials of
  degree 7 in s fitted to them on the range (relative to g), E's constant term being g(0) to the
  nearest double (O is tabulated negated). s^(5/6) is s times s^(-1/6).
- pieces, 0.5 <= x < 50: on each of a few ranges, g = N(v) / D(v), a rational of degree (12, 12)
  in v = s * scale + offset, which maps the range of s onto [-1, 1]. g is analytic in s away from
  0, so no root, square root or exponential is needed there. N and D are kept as a factor and
  products of six quadratics (v - centre)^2 + shift, their complex root pairs and their real roots
  paired: the roots gather outside the range towards the branch point at s = 0, where the sums of
  powers of v would cancel to a few digits, while each quadratic stays far from 0 on the range.
- far, x >= 50 (g below 1e-21): g = e^(-x) x^(1/3) P(x) / Q(x), a rational of degree (6, 6)
  fitted to e^x x^(-1/3) g(x) on [2, inf) in the variable 1/x (its coefficients are all positive).

s^(-1/6) comes from a seed built on the bits of s, then two polynomial corrections of degree 3 in
e = s z^6 - 1, the first fitted over the seed's whole error range, the second over what remains.

All fits are weighted least squares on Chebyshev nodes refined by Lawson's iteration towards the
minimax solution, at 50 digits. The script prints each fit's largest relative error with the
coefficients rounded to doubles, and, for the pieces, that of the double evaluation itself (every
fused multiply-add, product and quotient rounded as the C++ code rounds them) on a dense grid. Run
from the repository root:

    python3 scripts/gen_von_karman_shape.py > zam/von_karman_shape_coefficients.hpp
"""

import sys

import mpmath as mp
import numpy as np

mp.mp.dps = 50
NU = mp.mpf(5) / 6
# Limits of the ranges in x: near below the first, one piece between each two, far beyond the last.
LIMITS = [0.5, 3.0, 12.0, 30.0, 50.0]
NEAR_DEGREE = 7
QUADRATICS = 6  # factors of a piece's numerator and of its denominator: degree (12, 12)
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


def rational_fit(points, values, degree, iterations=16):
    """P/Q of degree (degree, degree), Q(0) = 1, nearly minimising the largest relative error on
    the points (Sanathanan-Koerner linearisation with Lawson's weights)."""
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
    return best[0], best[1]


def chebyshev_points(a, b, n):
    return [a + (b - a) * (1 - mp.cos(mp.pi * (i + mp.mpf(1) / 2) / n)) / 2 for i in range(n)]


def as_double(c):
    return float(c)


def fit_near():
    limit = mp.mpf(LIMITS[0]) ** 2
    points = chebyshev_points(mp.mpf(0), limit, 60)
    shapes = [shape(mp.sqrt(s)) for s in points]
    e_const = mp.mpf(as_double(g0()))
    # E(s) = e0 + s (e1 + e2 s + ...): fit the rest with e0 fixed.
    basis = [lambda s, k=k: s ** (k + 1) for k in range(NEAR_DEGREE)]
    e_rest = lawson_fit(basis, [series(s, -1) - e_const for s in points],
                        [1 / g for g in shapes], points)
    e_coeffs = [as_double(e_const)] + [as_double(c) for c in e_rest]
    basis = [lambda s, k=k: s**k for k in range(NEAR_DEGREE + 1)]
    o_coeffs = [as_double(c) for c in lawson_fit(
        basis, [series(s, 1) for s in points],
        [s ** (NU) / g for s, g in zip(points, shapes)], points)]
    grid = [limit * k / 1000 for k in range(1001)]
    err = max(abs(mp.polyval([mp.mpf(v) for v in e_coeffs[::-1]], s)
                  - s**NU * mp.polyval([mp.mpf(v) for v in o_coeffs[::-1]], s)
                  - shape(mp.sqrt(s))) / shape(mp.sqrt(s)) for s in grid)
    report(f"near, relative, x < {LIMITS[0]}", err)
    return e_coeffs, o_coeffs


def fma(a, b, c):
    """a * b + c rounded once to a double, as the C library's fma and the hardware's."""
    return float(mp.mpf(a) * mp.mpf(b) + mp.mpf(c))


def quadratics(coefficients):
    """The polynomial's roots as QUADRATICS factors (v - centre)^2 + shift: each complex pair
    (shift > 0), and the real roots paired in order (shift < 0), so that no factor cancels on
    [-1, 1] where the roots lie outside it."""
    roots = mp.polyroots(coefficients[::-1], maxsteps=400, extraprec=400)
    tiny = mp.mpf(10) ** -30
    real = sorted(mp.re(r) for r in roots if abs(mp.im(r)) < tiny)
    pairs = [((a + b) / 2, -((b - a) / 2) ** 2) for a, b in zip(real[::2], real[1::2])]
    pairs += [(mp.re(r), mp.im(r) ** 2) for r in roots if mp.im(r) >= tiny]
    assert len(pairs) == QUADRATICS, pairs
    return pairs


def product_in_doubles(factors, v):
    """((n0 n1)(n2 n3))(n4 n5) of the factors n = fma(v - centre, v - centre, shift), each
    operation rounded as the C++ code rounds it."""
    n = []
    for centre, shift in factors:
        d = float(mp.mpf(v) - mp.mpf(centre))
        n.append(fma(d, d, shift))

    def mul(a, b):
        return float(mp.mpf(a) * mp.mpf(b))

    return mul(mul(mul(n[0], n[1]), mul(n[2], n[3])), mul(n[4], n[5]))


def piece_in_doubles(piece, s):
    """g at the double s as the C++ code computes it on this piece."""
    scale, offset, factor, num, den = piece
    v = fma(s, scale, offset)
    scaled = float(mp.mpf(product_in_doubles(num, v)) * mp.mpf(factor))
    return float(mp.mpf(scaled) / mp.mpf(product_in_doubles(den, v)))


def fit_piece(lo, hi):
    """The rational of the range lo <= x < hi in v = s * scale + offset, as a factor times a
    product of quadratics over another."""
    s_lo, s_hi = mp.mpf(lo) ** 2, mp.mpf(hi) ** 2
    scale = as_double(2 / (s_hi - s_lo))
    offset = as_double(-(s_hi + s_lo) / (s_hi - s_lo))
    # The fit covers the range's image under the mapping as the code rounds it, and a little more.
    v_lo = mp.mpf(scale) * s_lo + mp.mpf(offset)
    v_hi = mp.mpf(scale) * s_hi + mp.mpf(offset)
    margin = (v_hi - v_lo) * mp.mpf("1e-6")
    points = chebyshev_points(v_lo - margin, v_hi + margin, 8 * 2 * QUADRATICS)
    values = [shape(mp.sqrt((v - mp.mpf(offset)) / mp.mpf(scale))) for v in points]
    p, q = rational_fit(points, values, 2 * QUADRATICS)
    fitted = max(abs(mp.polyval(p[::-1], v) / mp.polyval(q[::-1], v) / f - 1)
                 for v, f in zip(points, values))
    piece = (scale, offset, as_double(p[-1] / q[-1]),
             [(as_double(c), as_double(h)) for c, h in quadratics(p)],
             [(as_double(c), as_double(h)) for c, h in quadratics(q)])
    check = np.linspace(float(s_lo), float(s_hi), 800)
    rounded = max(abs(piece_in_doubles(piece, s) / shape(mp.sqrt(mp.mpf(s))) - 1) for s in check)
    report(f"piece {lo} <= x < {hi}, relative (fit; in doubles)", fitted, rounded)
    return piece


def large_ratio(x):
    return mp.e**x * shape(x) * x ** (-mp.mpf(1) / 3)


def fit_far(degree=6, iterations=12):
    """P(u)/Q(u) ~ e^x x^(-1/3) g(x) with u = 1/x on [0, 1/2], Q(0) = 1 (Sanathanan-Koerner)."""
    points = chebyshev_points(mp.mpf(0), mp.mpf(1) / 2, 160)
    values = [mp.sqrt(mp.pi / 2) if u == 0 else large_ratio(1 / u) for u in points]
    p, q = rational_fit(points, values, degree, iterations)
    # In x: P(1/x)/Q(1/x) = (p0 x^6 + ... + p6) / (x^6 + q1 x^5 + ... + q6).
    p, q = [as_double(c) for c in p], [as_double(c) for c in q[1:]]
    xs = [2 + mp.mpf(k) ** 2 / 100 for k in range(400)]
    err = max(abs(mp.polyval([mp.mpf(v) for v in p], x)
                  / mp.polyval([mp.mpf(1)] + [mp.mpf(v) for v in q], x) / large_ratio(x) - 1)
              for x in xs)
    report("far, relative, 2 <= x <= 1600", err)
    return p, q


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


def report(name, *values):
    print(f"{name}: {'; '.join(mp.nstr(v, 3) for v in values)}", file=sys.stderr)


def fit_all():
    lo, hi = seed_error_range()
    first = fit_root_correction(lo * mp.mpf(1.001), hi * mp.mpf(1.001))
    remaining = 6 * correction_error(first, lo, hi) * mp.mpf(1.5)
    second = fit_root_correction(-remaining, remaining)
    report("seed, s z^6 - 1 within", max(-lo, hi))
    report("first correction, relative", correction_error(first, lo, hi))
    report("second correction, relative", correction_error(second, -remaining, remaining))
    return {
        "near": fit_near(),
        "pieces": [fit_piece(lo, hi) for lo, hi in zip(LIMITS, LIMITS[1:])],
        "far": fit_far(),
        "root": (first, second),
    }


def header(fits):
    """The C++ header of the fitted coefficients."""
    e_coeffs, o_coeffs = fits["near"]
    p, q = fits["far"]
    first, second = fits["root"]
    pieces = fits["pieces"]
    assert len(pieces) % 2 == 0

    def values(numbers, indent="    "):
        return ",\n".join(f"{indent}{v!r}" for v in numbers)

    def array(name, numbers, what):
        return (f"/// {what}\ninline constexpr double {name}[{len(numbers)}] = {{\n"
                f"{values(numbers)},\n}};\n")

    def pair(a, b):
        return f"{{{a!r}, {b!r}}}"

    out = [
        "// Coefficients of the exact von Kármán shape; made by scripts/gen_von_karman_shape.py.",
        "#pragma once",
        "",
        "#include <cstdint>",
        "",
        "// One coefficient a line, as generated.",
        "// clang-format off",
        "namespace zam::von_karman_shape_coefficients {",
        "",
        "/// Two neighbouring rational ranges side by side, each coefficient as {lower range's, upper",
        "/// range's}, so that each lane picks its own range's. A range: g = (N(v) · factor) / D(v),",
        "/// v = fma(s, scale, offset), N and D the products of their quadratics (v - centre)² + shift.",
        "struct PiecePair {",
        "    alignas(16) double scale[2];",
        "    alignas(16) double offset[2];",
        "    alignas(16) double factor[2];",
        f"    alignas(16) double numerator[{QUADRATICS}][2][2];  ///< [quadratic][centre, shift][range]",
        f"    alignas(16) double denominator[{QUADRATICS}][2][2];",
        "};",
        "",
        "/// Ranges of s = x^2: near below limits[0]; pair k's lower range from limits[2k] to",
        "/// limits[2k + 1] and its upper range on to limits[2k + 2]; far beyond the last.",
        f"inline constexpr int pairs = {len(pieces) // 2};",
        "inline constexpr double limits[2 * pairs + 1] = {",
        values([as_double(mp.mpf(x) ** 2) for x in LIMITS]) + ",",
        "};",
        "/// The s^(-1/6) seed: (seed_constant - (high(s) * seed_divisor >> 32)) << 32.",
        f"inline constexpr std::uint64_t seed_constant = 0x{SEED:08X};",
        f"inline constexpr std::uint64_t seed_divisor = 0x{SEED_DIVISOR:08X};",
        "",
        array("even", e_coeffs, "E(s) in powers of s, from s^0 (g(0) to the nearest double)."),
        array("minus_odd", [-c for c in o_coeffs], "-O(s) in powers of s, from s^0."),
        "/// The rational ranges, two by two in order of s.",
        "inline constexpr PiecePair pair[pairs] = {",
    ]
    for k in range(0, len(pieces), 2):
        a, b = pieces[k], pieces[k + 1]
        out.append(f"    {{  // {LIMITS[k]} <= x < {LIMITS[k + 1]}, then < {LIMITS[k + 2]}")
        out += [f"        {pair(a[i], b[i])}," for i in range(3)]
        for part in (3, 4):
            out.append("        {")
            for (ca, ha), (cb, hb) in zip(a[part], b[part]):
                out.append(f"            {{{pair(ca, cb)}, {pair(ha, hb)}}},")
            out.append("        },")
        out.append("    },")
    out += [
        "};",
        "",
        array("numerator", p, "Far: P(x) in powers of x, from x^6 down to x^0."),
        array("denominator", q, "Far: Q(x) - x^6 in powers of x, from x^5 down to x^0."),
        array("first_root_correction", first, "(1 + e)^(-1/6) over the seed's range, from e^0."),
        array("second_root_correction", second, "(1 + e)^(-1/6) after the first correction."),
        "}  // namespace zam::von_karman_shape_coefficients",
        "// clang-format on",
    ]
    return "\n".join(out)


def main():
    print(header(fit_all()))


if __name__ == "__main__":
    main()
