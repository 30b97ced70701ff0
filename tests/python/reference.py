"""The model written out in plain Python with math, in the documented order of operations.

Tests compare single matrix elements computed by the module with these, bit for bit. Records are the
dictionaries a loaded system document gives (yaml.safe_load with the '!' tags kept as "kind").
"""

import math

INF = math.inf


def at(line, z):
    return (line["x0"] + line["xz"] * z, line["y0"] + line["yz"] * z)


def bundle(m):
    """The (line, weight) pairs of a measurement."""
    kind = m["kind"]
    if kind == "Zero":
        return []
    if kind == "Phase":
        return [(m["line"], 1.0)]
    if kind == "SlopeTwoLine":
        p, q = m["line_pos"], m["line_neg"]
        dx, dy = p["x0"] - q["x0"], p["y0"] - q["y0"]
        w = 1.0 / math.sqrt(dx * dx + dy * dy)
        return [(p, w), (q, -w)]
    c = m["central_line"]
    s, length, h, n = m["edge_separation"], m["edge_length"], m["altitude"], m["npoints"]
    gx, gy = m["gradient_axis"]["x"], m["gradient_axis"]["y"]
    w = (1.0 / n) / s
    ox, oy = (s * gx) * 0.5, (s * gy) * 0.5
    ax, ay = (-gy) * (length * 0.5), (length * 0.5) * gx
    bx, by = -ax, -ay
    out = []
    for k in range(n):
        t = 1.0 / (float(n) + float(n)) + k / float(n)
        px, py = t * bx + (1.0 - t) * ax, t * by + (1.0 - t) * ay
        for sign, (qx, qy) in ((1.0, (px + ox, py + oy)), (-1.0, (px - ox, py - oy))):
            if h >= INF:
                line = {"x0": qx + c["x0"], "xz": c["xz"], "y0": qy + c["y0"], "yz": c["yz"]}
            else:
                sx, sy = (qx + c["x0"]) + c["xz"] * 0.0, (qy + c["y0"]) + c["yz"] * 0.0
                tx, ty = c["xz"] * h, c["yz"] * h
                line = {
                    "x0": sx - (0.0 / h) * (tx - sx),
                    "xz": (tx - sx) / h,
                    "y0": sy - (0.0 / h) * (ty - sy),
                    "yz": (ty - sy) / h,
                }
            out.append((line, sign * w))
    return out


def sample_actuator(a, line):
    kind = a["kind"]
    if kind == "Zero":
        return 0.0
    if kind == "TipTilt":
        x, y = at(line, 0.0)
        return a["unit_response"]["x"] * x + a["unit_response"]["y"] * y
    pos = a["position"]
    x, y = at(line, pos["z"])
    dx, dy = x - pos["x"], y - pos["y"]
    q = math.sqrt(dx * dx + dy * dy) / a["sigma"]
    q = q * q
    q = q * -0.5
    return a["microns_per_volt"] * math.exp(q)


def sample_pupil(p, line):
    x, y = at(line, 0.0)
    r = math.sqrt(x * x + y * y)
    v = 1.0
    if r > p["rad_outer"]:
        v = 0.0
    if p["rad_inner"] > r:
        v = 0.0
    for s0, s1 in p["spiders"]:
        dx, dy = s1["x"] - s0["x"], s1["y"] - s0["y"]
        ux, uy = x - s0["x"], y - s0["y"]
        try:
            t = (ux * dx + uy * dy) / (dx * dx + dy * dy)
        except ZeroDivisionError:
            t = math.nan
        if t < 0.0:
            t = 0.0
        if t > 1.0:
            t = 1.0
        ex, ey = ux - t * dx, uy - t * dy
        if p["spider_thickness"] * 0.5 > math.sqrt(ex * ex + ey * ey):
            v = 0.0
    return v


def sample(m, obj, sampler):
    total = -0.0
    for line, w in bundle(m):
        total = total + w * sampler(obj, line)
    return total


def layer_cov(layers, la, lb, t):
    total = -0.0
    for layer in layers:
        z = layer["alt"]
        ax, ay = at(la, z)
        bx, by = at(lb, z)
        bx, by = bx - layer["v"]["x"] * t, by - layer["v"]["y"] * t
        dx, dy = ax - bx, ay - by
        r = math.sqrt(dx * dx + dy * dy)
        x = (6.283185307179586 / layer["l0"]) * r
        f = ((x * 1.7404436 + 1.0) * (math.exp(x * -0.9359968) * 1.0056349)) / (x + 1.0)
        total = total + (math.pow(layer["l0"] / layer["r0"], 5.0 / 3.0) * 0.08583068106228546) * f
    return total


def cosample(ma, mb, layers, t):
    total = -0.0
    for la, wa in bundle(ma):
        inner = -0.0
        for lb, wb in bundle(mb):
            inner = inner + (layer_cov(layers, la, lb, t) * wa) * wb
        total = total + inner
    return total
