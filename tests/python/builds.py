"""What each builder stores, written out with math in the builders' own order of operations."""

# Records have the shape records.parse gives: measurements and actuators are dictionaries with a
# "kind" key. Arithmetic follows the C library where Python's float operators would raise instead.

import math

from conftest import bits

INF = math.inf
NAN = math.nan
ARCSEC = 4.848e-6
SQRT2 = 1.4142135623730951

# The seven default layers: r0, l0, alt, wind (x, y).
LAYERS = [
    (0.21575883, 60.0, 0.0, (10.0, 0.0)),
    (0.76709884, 60.0, 1800.0, (10.0, 1.0)),
    (0.59536035, 60.0, 3300.0, (12.0, -2.0)),
    (1.24070137, 60.0, 5800.0, (15.0, 5.0)),
    (1.51825277, 60.0, 7400.0, (5.0, 15.0)),
    (0.75553414, 60.0, 13100.0, (22.0, 11.0)),
    (2.062782, 60.0, 15800.0, (20.0, -8.0)),
]


def div(a, b):
    """a / b with IEEE results for a zero divisor."""
    if b != 0.0:
        return a / b
    if a != a or a == 0.0:
        return NAN
    return math.copysign(INF, a) * math.copysign(1.0, b)


def log(x):
    """The C library's log: -inf at zero, NaN below."""
    if x == 0.0:
        return -INF
    if x < 0.0:
        return NAN
    return math.log(x)


def pow_half(x):
    """The C library's pow(x, 0.5): +inf at -inf, NaN for other negative x."""
    if x == -INF:
        return INF
    if x < 0.0:
        return NAN
    return math.pow(x, 0.5)


def exact(value):
    """`value` with every float replaced by its bit pattern (every NaN alike: the document writes
    .nan), so that == compares records bit for bit and -0.0 differs from 0.0."""
    if isinstance(value, float):
        return "nan" if math.isnan(value) else f"{bits(value):#018x}"
    if isinstance(value, dict):
        return {key: exact(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [exact(item) for item in value]
    return value


# ---- points and grids --------------------------------------------------------------------------


def linspace(start, end, n):
    if n == 0:
        return []
    if n == 1:
        return [start]
    out = []
    for k in range(n):
        t = float(k) / (float(n) + -1.0)
        out.append((t * end[0] + (1.0 - t) * start[0], t * end[1] + (1.0 - t) * start[1]))
    return out


def linspread(start, end, n):
    out = []
    for k in range(n):
        t = 1.0 / (float(n) + float(n)) + float(k) / float(n)
        out.append((t * end[0] + (1.0 - t) * start[0], t * end[1] + (1.0 - t) * start[1]))
    return out


def grid(xs, ys):
    """Point (i, j) is x point i plus y point j, the x index outer."""
    return [(x[0] + y[0], x[1] + y[1]) for x in xs for y in ys]


def cell_grid(diameter, n):
    half = diameter / 2.0
    return grid(linspread((-half, 0.0), (half, 0.0), n), linspread((0.0, -half), (0.0, half), n))


def edge_grid(half, n):
    return grid(linspace((-half, 0.0), (half, 0.0), n), linspace((0.0, -half), (0.0, half), n))


# ---- records -----------------------------------------------------------------------------------


def line(x0, xz, y0, yz):
    return {"x0": x0, "xz": xz, "y0": y0, "yz": yz}


def phase(x0, xz, y0, yz):
    return {"kind": "Phase", "line": line(x0, xz, y0, yz)}


def vec(x, y):
    return {"x": x, "y": y}


# ---- builders ----------------------------------------------------------------------------------


def meas(teldiam, nsubx, dirs, gsalt, deltas, clockings, zooms):
    """The measurements add_meas appends, and their lines."""
    points = cell_grid(teldiam, nsubx)
    size = div(teldiam, float(nsubx))
    out = []
    for w, (dir_x, dir_y) in enumerate(dirs if points else []):
        xz, yz = dir_x * ARCSEC, dir_y * ARCSEC
        c, s = math.cos(clockings[w]), math.sin(clockings[w])
        m = 1.0 + zooms[w]
        shift_x, shift_y = deltas[w]
        for axis in (vec(s, c), vec(c, -s)):
            for px, py in points:
                central = line((px * c + py * s) * m + shift_x, xz,
                               (py * c - px * s) * m + shift_y, yz)
                out.append({"kind": "SlopeTwoEdge", "central_line": central, "edge_length": size,
                            "edge_separation": size, "gradient_axis": axis, "npoints": 1,
                            "altitude": gsalt})
    return out, [dict(m["central_line"]) for m in out]


def ts(teldiam, ntssamples, dirs):
    points = edge_grid(teldiam / 2.0, ntssamples)
    return [phase(px, d[0] * ARCSEC, py, d[1] * ARCSEC) for d in dirs for px, py in points]


def phi(teldiam, nphisamples):
    return [phase(px, 0.0, py, 0.0) for px, py in cell_grid(teldiam, nphisamples)]


def sigma(pitch, coupling):
    return div(div(pitch, pow_half(log(div(1.0, coupling)))), SQRT2)


def com(pitch, nactux, delta, dmalt, coupling, clocking, zoom, microns_per_volt):
    """The actuators add_com appends."""
    half = (float(nactux) - 1.0) * pitch * 0.5
    width = sigma(pitch, coupling)
    c, s = math.cos(clocking), math.sin(clocking)
    m = zoom + 1.0
    return [{"kind": "Gaussian", "sigma": width,
             "position": {"x": (px * c + py * s) * m + delta[0],
                          "y": (py * c - px * s) * m + delta[1], "z": dmalt},
             "microns_per_volt": microns_per_volt}
            for px, py in edge_grid(half, nactux)]


def ttdm(scale):
    return [{"kind": "TipTilt", "unit_response": vec(0.0 * scale, scale)},
            {"kind": "TipTilt", "unit_response": vec(scale, 0.0 * scale)}]


def cov_layers():
    return [{"r0": r0, "l0": l0, "alt": alt, "v": vec(*v)} for r0, l0, alt, v in LAYERS]


def pupil(teldiam, cobs):
    return {"rad_outer": teldiam * 0.5, "rad_inner": cobs * teldiam * 0.5,
            "spider_thickness": 0.0, "spiders": []}


def new(teldiam, cobs, coupling, nactux, dmalt, pitch, nsubx, ntssamples, nphisamples, wfs_dirs,
        ts_dirs, dm_delta, wfs_delta, dm_clocking, wfs_clocking, dm_zoom, wfs_zoom, gsalt,
        microns_per_volt):
    """The whole document of SystemGeom.new with these arguments."""
    measurements, lines = meas(teldiam, nsubx, wfs_dirs, gsalt, wfs_delta, wfs_clocking, wfs_zoom)
    return {
        "meas": measurements, "phi": phi(teldiam, nphisamples),
        "ts": ts(teldiam, ntssamples, ts_dirs),
        "com": com(pitch, nactux, dm_delta, dmalt, coupling, dm_clocking, dm_zoom,
                   microns_per_volt),
        "cov_model": cov_layers(), "pupil": pupil(teldiam, cobs), "meas_lines": lines,
        "simul_dt": 0.0, "meas_dt": 0.0,
    }
