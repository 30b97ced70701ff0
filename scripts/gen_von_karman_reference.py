"""Generates tests/data/von_karman_shape.bin: reference values of the exact von Karman shape.

Each record is two little-endian doubles (s, g): s a double, g = x^(5/6) K_5/6(x) at x = sqrt(s)
exactly, computed at 40 digits with mpmath and rounded to the nearest double (g(0) = 2^(-1/6)
Gamma(5/6)). The arguments cover 0 <= x <= 50 densely, the neighbourhoods of 0, of x = 2 (where the
series gives way to the asymptotic form), of x = 50, of the clamps at s = 2^-300 and x = 746 and of
every power of two of s (the root seed's octaves), and reach far beyond 50. Records are shuffled so
that vector lanes mix the ranges. A few values are checked against the integral
K_nu(x) = int_0^inf e^(-x cosh t) cosh(nu t) dt before anything is written. Takes a few minutes:

    python3 scripts/gen_von_karman_reference.py tests/data/von_karman_shape.bin
"""

import math
import random
import struct
import sys

import mpmath as mp

mp.mp.dps = 40
NU = mp.mpf(5) / 6


def shape(s):
    x = mp.sqrt(mp.mpf(s))
    if x == 0:
        return mp.mpf(2) ** (-mp.mpf(1) / 6) * mp.gamma(NU)
    return x**NU * mp.besselk(NU, x)


def neighbours(value, count):
    """value and the `count` doubles on each side of it."""
    out, up, down = [value], value, value
    for _ in range(count):
        up, down = math.nextafter(up, math.inf), math.nextafter(down, 0.0)
        out += [up, down]
    return out


def arguments(rng):
    xs = []  # arguments given as x (squared below)
    ss = [0.0, 5e-324, 2.0**-1074 * 3, 2.0**-1022, 2.0**-600]  # arguments given as s
    xs += [10.0 ** rng.uniform(-160, -1) for _ in range(12000)]
    xs += [rng.uniform(0.0, 2.0) for _ in range(30000)]
    xs += [rng.uniform(2.0, 50.0) for _ in range(42000)]
    xs += [rng.uniform(50.0, 800.0) for _ in range(5000)]
    xs += [10.0 ** rng.uniform(math.log10(800.0), 150) for _ in range(500)]
    for x in (2.0, 50.0, 745.1332191019411, 746.0):
        xs += [x * (1 + sign * 10.0 ** rng.uniform(-15, -1))
               for sign in (-1, 1) for _ in range(700)]
    ss += neighbours(4.0, 1500) + neighbours(2.0**-300, 200) + neighbours(746.0**2, 200)
    for k in range(-300, 301, 1):
        ss += neighbours(2.0**k, 1)
    return [x * x for x in xs] + ss


def check_against_integral():
    for x in (mp.mpf("1e-3"), mp.mpf("0.7"), mp.mpf(2), mp.mpf(9), mp.mpf(40)):
        end = mp.acosh(100 / x + 1)  # beyond, the integrand is below e^-100 of the integral
        integral = mp.quad(lambda t: mp.exp(-x * mp.cosh(t)) * mp.cosh(NU * t),
                           mp.linspace(0, end, 8))
        assert abs(x**NU * integral / shape(x * x) - 1) < mp.mpf(10) ** -30, x


def main():
    check_against_integral()
    rng = random.Random(20240611)
    args = arguments(rng)
    rng.shuffle(args)
    with open(sys.argv[1], "wb") as out:
        for s in args:
            out.write(struct.pack("<dd", s, float(shape(s))))
    print(f"{len(args)} records", file=sys.stderr)


if __name__ == "__main__":
    main()
