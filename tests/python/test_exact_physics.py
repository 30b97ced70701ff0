"""The exact von Karman covariance against the phase spectrum it comes from.

One layer's exact covariance is C(r) = 0.08583068106228546 (l0/r0)^(5/3) g(2 pi r / l0), with
g(x) = x^(5/6) K_5/6(x) read from tests/data/von_karman_shape.bin, the table the C++ shape is tested
against (tests/cpp/von_karman_shape_test.cpp). The spectrum is
W(f) = K r0^(-5/3) (f^2 + l0^-2)^(-11/6), f in cycles per unit length, and
C(r) = 2 pi int f W(f) J0(2 pi f r) df. Writing the power as
(1/Gamma(11/6)) int t^(5/6) e^(-t (f^2 + l0^-2)) dt and transforming each Gaussian exactly leaves
C(r) = pi K r0^(-5/3) / Gamma(11/6) int t^(-1/6) e^(-t/l0^2 - pi^2 r^2 / t) dt: a positive, smooth
integrand, so the quadrature holds its relative accuracy where C(r) is 1e-26 of C(0) and the
oscillating J0 form would drown in cancellation.
"""

import bisect
import functools
import math
import pathlib
import struct

import pytest

integrate = pytest.importorskip("scipy.integrate")

C = 0.08583068106228546
K = (24 / 5 * math.gamma(6 / 5)) ** (5 / 6) * math.gamma(11 / 6) ** 2 / (2 * math.pi ** (11 / 3))
TABLE = pathlib.Path(__file__).resolve().parents[1] / "data" / "von_karman_shape.bin"


@functools.cache
def table():
    """(x, g(x)) of every record, x = sqrt(s), sorted by x."""
    data = TABLE.read_bytes()
    return sorted((math.sqrt(s), g) for s, g in struct.iter_unpack("<dd", data))


def spectrum_covariance(r, r0, l0):
    """C(r) integrated from the spectrum over u = ln t, split at the integrand's peak."""
    def integrand(u):
        t = math.exp(u)
        return t ** (5 / 6) * math.exp(-t / l0**2 - (math.pi * r) ** 2 / t)

    # The peak solves t^2 / l0^2 - (5/6) t - pi^2 r^2 = 0; past the bounds less than 1e-20 remains.
    peak = math.log((5 / 6 + math.sqrt((5 / 6) ** 2 + (2 * math.pi * r / l0) ** 2)) * l0**2 / 2)
    total = 0.0
    for a, b in ((peak - 60, peak), (peak, peak + 8)):
        value, _ = integrate.quad(integrand, a, b, epsabs=0, epsrel=1e-13, limit=200)
        total += value
    return math.pi * K * r0 ** (-5 / 3) / math.gamma(11 / 6) * total


def test_constant_is_the_spectrum_constant():
    assert K == pytest.approx(0.0228955871, rel=1e-9)


@pytest.mark.parametrize("r0, l0", [(0.15, 25.0), (1.0, 60.0)])
def test_covariance_is_the_transform_of_the_spectrum(r0, l0):
    records = table()
    xs = [x for x, _ in records]
    # Zero and the first record at or past each of 61 separations from r/l0 = 1e-4 to 10.
    targets = [10 ** (-4 + 5 * k / 60) * 2 * math.pi for k in range(61)]
    chosen = [records[0]] + [records[bisect.bisect_left(xs, x)] for x in targets]
    # The variance: C(0) = c 2^(-1/6) Gamma(5/6) (l0/r0)^(5/3), checked against the spectrum below.
    assert chosen[0][0] == 0.0
    assert chosen[0][1] == pytest.approx(2 ** (-1 / 6) * math.gamma(5 / 6), rel=1e-15)
    for x, g in chosen:
        r = x * l0 / (2 * math.pi)
        assert C * (l0 / r0) ** (5 / 3) * g == pytest.approx(spectrum_covariance(r, r0, l0),
                                                            rel=1e-8), r / l0
