"""vedovx arrays against vedov's lists, bit for bit: products, blocks, storage, element types."""

import subprocess
import sys

import numpy as np
import pytest

import records
import reference
import vedov
import vedovx
from conftest import child_environment
from document_helpers import load_text
from test_matrices import EVERY_KIND, small_system

RECON = ["c_ts_meas", "c_meas_meas", "d_ts_com", "d_meas_com", "p_meas"]
SYSTEM = ["c_phi_phi", "c_phip1_phi", "c_meas_phi", "d_meas_com", "d_phi_com", "p_phi", "p_meas"]


def same_bits(array, expected):
    """Equal bit for bit (-0.0 is not 0.0), shapes included."""
    expected = np.asarray(expected, dtype=np.float64)
    if expected.shape == (0,):  # no rows: no columns to infer
        return array.shape[0] == 0
    assert array.shape == expected.shape
    return bool((np.asarray(array, np.float64).view(np.uint64) == expected.view(np.uint64)).all())


def without_pupil(text):
    return text[:text.index("pupil:")] + "pupil: null\n" + text[text.index("meas_lines:"):]


SYSTEMS = {
    "lgs": lambda tmp: small_system(),
    "ngs, no layers, no pupil": lambda tmp: small_system(gsalt=float("inf"), layers=False,
                                                         pupil=False),
    "empty": lambda tmp: vedov.SystemGeom.new_empty(),
    # Every measurement and actuator kind; fewer measurement lines than measurements.
    "every kind": lambda tmp: load_text(tmp, EVERY_KIND),
    "every kind, no pupil": lambda tmp: load_text(tmp, without_pupil(EVERY_KIND)),
}


@pytest.mark.wheel
@pytest.mark.parametrize("name", SYSTEMS)
def test_products_equal_vedov(tmp_path, name):
    s = SYSTEMS[name](tmp_path)
    ours, theirs = vedovx.recon_matrices(s, model="closed-form"), vedov.ReconMatrices.new(s)
    for field in RECON:
        assert same_bits(getattr(ours, field), getattr(theirs, field)), field
    ours, theirs = vedovx.system_matrices(s, model="closed-form"), vedov.SystemMatrices.new(s)
    for field in SYSTEM:
        assert same_bits(getattr(ours, field), getattr(theirs, field)), field
    assert same_bits(vedovx.interaction(s, "meas"), s.imat())
    assert same_bits(vedovx.projection(s, "meas_lines"), s.pmeas())


def test_combinations_vedov_does_not_offer(tmp_path):
    s = small_system()
    doc = records.read(s, tmp_path)
    ts_ts = vedovx.covariance(s, "ts", "ts", lag=0.37, model="closed-form")
    expected = [[reference.cosample(a, b, doc["cov_model"], 0.37) for b in doc["ts"]]
                for a in doc["ts"]]
    assert same_bits(ts_ts, expected)
    p_ts = vedovx.projection(s, "ts")
    assert same_bits(p_ts, [reference.sample(m, doc["pupil"], reference.sample_pupil)
                            for m in doc["ts"]])


@pytest.mark.wheel
def test_a_failure_inside_raises_vedovs_panic(tmp_path):
    # A slope of 2^64 - 1 edge points has a bundle no allocation can hold.
    text = EVERY_KIND.replace("npoints: 3", "npoints: 18446744073709551615")
    with pytest.raises(vedovx.PanicException, match="capacity overflow"):
        vedovx.covariance(load_text(tmp_path, text), "meas", "meas")
    assert vedovx.PanicException.__name__ == "PanicException"
    assert not issubclass(vedovx.PanicException, Exception)


CHOICES = [
    slice(None), slice(3, 17, 2), slice(None, None, -3), slice(5, 5), [4, 0, 4, -1], [],
    np.arange(30) % 2 == 0,
]


@pytest.mark.wheel
@pytest.mark.parametrize("rows_index", CHOICES)
@pytest.mark.parametrize("cols_index", [None, slice(1, None, 4), [2, 2, 0]])
def test_blocks_equal_the_whole(rows_index, cols_index):
    s = small_system()
    whole = vedovx.covariance(s, "meas", "phi", lag=0.01)
    imat = vedovx.interaction(s, "meas")
    rows = np.arange(whole.shape[0])[rows_index] if not isinstance(rows_index, np.ndarray) \
        else np.flatnonzero(np.resize(rows_index, whole.shape[0]))
    if isinstance(rows_index, np.ndarray):
        rows_index = np.resize(rows_index, whole.shape[0])
    cols = np.arange(whole.shape[1])[cols_index] if cols_index is not None else slice(None)
    block = vedovx.covariance(s, "meas", "phi", lag=0.01, rows_index=rows_index,
                              cols_index=cols_index)
    assert same_bits(block, whole[rows][:, cols])
    cols = np.arange(imat.shape[1])[cols_index] if cols_index is not None else slice(None)
    block = vedovx.interaction(s, "meas", rows_index=rows_index, cols_index=cols_index)
    assert same_bits(block, imat[rows][:, cols])
    assert same_bits(vedovx.projection(s, "meas_lines", rows_index=rows_index),
                     vedovx.projection(s, "meas_lines")[rows])


@pytest.mark.wheel
def test_storage_views_memory_maps_and_float32(tmp_path):
    s = small_system()
    whole = vedovx.covariance(s, "meas", "meas")
    n = whole.shape[0]
    # A view into a larger array: rows spaced apart, columns contiguous; nothing else touched.
    big = np.full((n + 3, n + 5), 7.0)
    view = big[2:2 + n, 1:1 + n]
    assert vedovx.covariance(s, "meas", "meas", out=view) is view
    assert same_bits(view, whole)
    assert (big[:2] == 7.0).all() and (big[:, 0] == 7.0).all() and (big[:, n + 1:] == 7.0).all()
    # Tile by tile into a memory-mapped .npy file.
    path = tmp_path / "c.npy"
    mapped = np.lib.format.open_memmap(path, mode="w+", dtype=np.float64, shape=(n, n))
    for start in range(0, n, 7):
        vedovx.covariance(s, "meas", "meas", rows_index=slice(start, start + 7),
                          out=mapped[start:start + 7])
    mapped.flush()
    assert same_bits(np.load(path), whole)
    # float32: each float64 element rounded once, new or given storage.
    rounded = whole.astype(np.float32)
    assert (vedovx.covariance(s, "meas", "meas", dtype=np.float32) == rounded).all()
    out32 = np.empty((n, n), np.float32)
    vedovx.covariance(s, "meas", "meas", out=out32)
    assert (out32.view(np.uint32) == rounded.view(np.uint32)).all()
    # A projection into a strided one-dimensional view.
    strip = np.zeros(2 * len(s.pmeas()))
    vedovx.projection(s, "meas_lines", out=strip[::2])
    assert same_bits(strip[::2], s.pmeas())


@pytest.mark.wheel
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_any_number_of_threads_gives_the_same_bits(threads):
    s = small_system(nsubx=4)
    assert same_bits(vedovx.covariance(s, "meas", "meas", threads=threads),
                     vedovx.covariance(s, "meas", "meas"))


def _refusals():
    s = small_system()
    n, phi = vedovx.info(s).meas, vedovx.info(s).phi
    return s, [
        (dict(rows="slopes"), ValueError, "rows must be one of"),
        (dict(cols="com"), ValueError, "cols must be one of"),
        (dict(model="kolmogorov"), ValueError, "model must be one of"),
        (dict(rows_index=[n]), ValueError, f"rows_index: index {n} is out of range"),
        (dict(cols_index=[-phi - 1]), ValueError, "cols_index: index"),
        (dict(rows_index=[[0]]), ValueError, "rows_index must be a slice or a one-dimensional"),
        (dict(rows_index=[0.5]), ValueError, "rows_index must hold integers"),
        (dict(rows_index=[True]), ValueError, "rows_index: 1 booleans"),
        (dict(out=np.empty((n, phi + 1))), ValueError, "out has shape"),
        (dict(out=np.empty((n, 2 * phi))[:, ::2]), ValueError, "columns must be contiguous"),
        (dict(out=np.empty((n, phi), np.int64)), ValueError, "out must hold float64 or float32"),
        (dict(out=np.empty((n, phi), np.float32), dtype=np.float64), ValueError,
         "out has elements of float32"),
        (dict(dtype=np.int32), ValueError, "dtype must be float64 or float32"),
        (dict(out=[[0.0]]), TypeError, "out must be a numpy.ndarray"),
        (dict(out=np.empty((n, phi), ">f8")), ValueError,
         "out must be in the machine's byte order, not big-endian"),
        (dict(threads=0), ValueError, "threads must be at least 1"),
        (dict(threads=1.5), TypeError, "threads must be an int or None, not float"),
        (dict(threads=True), TypeError, "threads must be an int or None, not bool"),
        (dict(lag=float("nan")), ValueError, "lag must be finite, not nan"),
        (dict(lag=-float("inf")), ValueError, "lag must be finite, not -inf"),
        (dict(lag="1"), TypeError, "lag must be a number, not str"),
        (dict(lag=b"0.5"), TypeError, "lag must be a number, not bytes"),
        (dict(progress="yes"), TypeError, "progress must be"),
    ]


def test_bad_arguments_are_refused_naming_them():
    s, cases = _refusals()
    for overrides, error, text in cases:
        arguments = {"rows": "meas", "cols": "phi", **overrides}
        with pytest.raises(error, match=text.replace("[", r"\[")):
            vedovx.covariance(s, arguments.pop("rows"), arguments.pop("cols"), **arguments)
        if overrides.keys() <= {"lag", "threads"}:  # the operator takes the same
            with pytest.raises(error, match=text):
                vedovx.covariance_operator(s, "meas", "phi", **overrides)
    read_only = np.empty((vedovx.info(s).meas, vedovx.info(s).phi))
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match="out is read-only"):
        vedovx.covariance(s, "meas", "phi", out=read_only)
    for bad in (None, "system.yaml", vedov.ReconMatrices.new(s)):
        with pytest.raises(TypeError, match="system must be a vedov.SystemGeom"):
            vedovx.covariance(bad, "meas", "meas")


def test_info_and_positions():
    s = small_system()
    i = vedovx.info(s)
    assert (i.meas, i.phi, i.ts, i.com, i.meas_lines) == (44, 16, 9, 22, 44)
    assert i.layers[0] == vedovx.Layer(0.21575883, 60.0, 0.0, (10.0, 0.0)) and len(i.layers) == 7
    assert (i.simul_dt, i.meas_dt) == (0.01, 0.02)
    assert i.pupil == vedovx.Pupil(2.0, 0.3 * 4.0 * 0.5, 0.0, ())
    assert vedovx.info(vedov.SystemGeom.new_empty()).pupil is None
    phi = vedovx.positions(s, "phi")
    assert phi.shape == (16, 2) and phi[0].tolist() == [-1.5, -1.5]
    com = vedovx.positions(s, "com")
    assert com.shape == (22, 3) and com[16:20, 2].tolist() == [6000.0] * 4
    assert np.isnan(com[20:]).all()  # tip-tilt has no centre
    # A laser guide star's beam shrinks toward the star: at half its altitude, half the pupil.
    sights = vedovx.positions(s, "meas", altitude=45000.0)
    ground = vedovx.positions(s, "meas")
    star = np.array([-15.0, -15.0]) * 4.848e-6 * 90000.0
    assert np.allclose(sights[0], 0.5 * ground[0] + 0.5 * star)
    assert np.allclose(vedovx.positions(s, "meas_lines", altitude=45000.0)[0],
                       ground[0] + star / 2)  # the stored line keeps the star's direction
    for altitude, error in [(float("nan"), ValueError), (float("inf"), ValueError),
                            ("1", TypeError), (b"1", TypeError)]:
        with pytest.raises(error, match="altitude must be"):
            vedovx.positions(s, "meas", altitude=altitude)


def test_page_advice_leaves_with_the_array():
    # Results of 4 MiB and more are advised to use ordinary pages; the advice must not stay on
    # memory the allocator hands out again once the array is gone (kB flagged "nh" in smaps).
    def advised_kb():
        total = size = 0
        with open("/proc/self/smaps", encoding="ascii", errors="replace") as smaps:
            for line in smaps:
                if line.startswith("Size:"):
                    size = int(line.split()[1])
                elif line.startswith("VmFlags") and "nh" in line.split()[1:]:
                    total += size
        return total

    s = vedov.SystemGeom.new_empty()
    s.add_meas(8.0, 16, [(0.0, 0.0), (5.0, 0.0)], 90000.0, [(0.0, 0.0)] * 2, [0.0] * 2, [0.0] * 2)
    s.add_com(0.2, 41, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
    vedovx.interaction(s, "meas", rows_index=[0])  # the pool's threads and their stacks exist
    before = advised_kb()
    for _ in range(3):
        array = vedovx.interaction(s, "meas")
        assert array.nbytes >= 4 * 2**20 and advised_kb() >= before + array.nbytes // 1024 - 4
        del array
        assert advised_kb() == before


def test_more_threads_than_the_pool_can_have_are_lowered(tmp_path):
    # 65537 threads once left oneTBB's bookkeeping broken: the next evaluation crashed.
    script = """
import numpy as np, vedov, vedovx, vedovx.dask
g = vedov.SystemGeom.new_empty()
g.add_cov_layer()
g.add_meas(8.0, 8, [(0.0, 0.0), (10.0, 0.0)], 90000.0, [(0.0, 0.0)] * 2, [0.0] * 2, [0.0] * 2)
whole = vedovx.covariance(g, "meas", "meas", threads=1)
for threads in (65537, 10**30, 1, None, 2):
    assert (vedovx.covariance(g, "meas", "meas", threads=threads) == whole).all()
    vedovx.recon_matrices(g, threads=threads)
    lazy = vedovx.dask.covariance(g, "meas", "meas", chunks=100, threads=threads)
    assert (lazy.compute(scheduler="threads") == whole).all()
print("ok")
"""
    pytest.importorskip("dask")
    run = subprocess.run([sys.executable, "-c", script], env=child_environment(),
                         capture_output=True, text=True, timeout=300)
    assert (run.returncode, run.stdout) == (0, "ok\n"), run.stderr


@pytest.mark.wheel
def test_the_default_exact_model_follows_the_bessel_function(tmp_path):
    special = pytest.importorskip("scipy.special")
    s = small_system()
    s.set_dt(0.01, 0.05)
    doc = records.read(s, tmp_path)

    def exact_terms(la, lb, lag):
        # Each layer's term c (l0/r0)^(5/3) x^(5/6) K_5/6(x); g(0) = 2^(-1/6) Gamma(5/6).
        for layer in doc["cov_model"]:
            (ax, ay), (bx, by) = reference.at(la, layer["alt"]), reference.at(lb, layer["alt"])
            dx = ax - (bx - layer["v"]["x"] * lag)
            dy = ay - (by - layer["v"]["y"] * lag)
            x = 2 * np.pi / layer["l0"] * np.hypot(dx, dy)
            g = x ** (5 / 6) * special.kv(5 / 6, x) if x > 0 else 2 ** (-1 / 6) * special.gamma(5 / 6)
            yield 0.08583068106228546 * (layer["l0"] / layer["r0"]) ** (5 / 3) * g

    def expected(a, b, lag):
        terms = [wa * wb * t for la, wa in reference.bundle(a) for lb, wb in reference.bundle(b)
                 for t in exact_terms(la, lb, lag)]
        return sum(terms), sum(abs(t) for t in terms)

    for rows, cols, lag in [("meas", "meas", 0.0), ("ts", "meas", 0.05), ("phi", "phi", 0.01)]:
        got = vedovx.covariance(s, rows, cols, lag=lag)  # the default model
        for i, j in [(0, 0), (3, 15), (5, 2), (8, 11)]:
            value, scale = expected(doc[rows][i], doc[cols][j], lag)
            assert abs(got[i, j] - value) <= 1e-12 * scale, (rows, i, j)
    assert same_bits(vedovx.system_matrices(s).c_meas_phi, vedovx.covariance(s, "meas", "phi"))
    assert same_bits(vedovx.recon_matrices(s).c_ts_meas,
                     vedovx.covariance(s, "ts", "meas", lag=0.05))
