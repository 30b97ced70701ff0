"""method="structured", vedovx.lattices and the covariance operator against the direct evaluation."""

import pickle
import re

import numpy as np
import pytest

import vedov
import vedovx
from document_helpers import load_text, saved_text
from test_vedovx_arrays import same_bits

INF = float("inf")
# Of the largest magnitude of the element's block (a pair of runs). The direct matrix is itself
# block-Toeplitz only to within the rounding of absolute coordinates at each layer: its elements
# of one site difference spread by up to about 1e-13 of their block's largest here (more with the
# exact model, and on larger telescopes), and no table entry comes closer to all of them than
# half that spread.
BOUND = 2e-13


def sensors(altitudes, *, clockings=None, shifts=None, zooms=None, pupil=True):
    """One 8 x 8 sensor on an 8 m pupil per source altitude, at spread directions, with a truth
    sensor, phase samples on the subapertures' own grid, and four layers with wind."""
    n = len(altitudes)
    s = vedov.SystemGeom.new_empty()
    s.set_dt(0.001, 0.002)
    s.add_cov_layer()
    for k, altitude in enumerate(altitudes):
        s.add_meas(8.0, 8, [(12.0 * k - 10.0, 5.0 * k)], altitude, [(shifts or [(0, 0)] * n)[k]],
                   [(clockings or [0.0] * n)[k]], [(zooms or [0.0] * n)[k]])
    if pupil:
        s.filter_meas(vedovx.projection(s, "meas_lines") == 1.0)
        s.set_pupil(8.0, 0.2)
    s.add_ts(8.0, 9, [(0.0, 0.0), (3.0, 3.0)])
    s.add_phi(8.0, 8)
    return s


def perturbed(system, tmp_path, index, offset):
    """The system with measurement `index`'s point moved by `offset` metres along x."""
    text = saved_text(system, tmp_path)
    found = list(re.finditer(r"central_line:\n    x0: (\S+)", text))[index]
    moved = repr(float(found.group(1)) + offset)
    return load_text(tmp_path, text[:found.start(1)] + moved + text[found.end(1):])


SYSTEMS = {
    "ngs": lambda tmp: sensors([INF, INF]),
    "lgs": lambda tmp: sensors([90000.0, 90000.0, 90000.0]),
    "mixed altitudes": lambda tmp: sensors([90000.0, 80000.0, INF]),
    "no pupil": lambda tmp: sensors([90000.0, 90000.0], pupil=False),
    # Turned and zoomed sensors stand alone; a shifted one still pairs with the first.
    "turned, shifted, zoomed": lambda tmp: sensors(
        [90000.0] * 4, clockings=[0, 0.3, 0, 0], shifts=[(0, 0), (0, 0), (0.13, -0.4), (0, 0)],
        zooms=[0, 0, 0, 0.02]),
    "perturbed": lambda tmp: perturbed(sensors([90000.0, 90000.0]), tmp, 5, 1e-7),
}


def runs(system, which, count):
    """[(start, stop)] of the list's lattices and of the stretches between them."""
    bounds = sorted({0, count} | {b for run in vedovx.lattices(system, which).lattices
                                  for b in (run.start, run.stop)})
    return list(zip(bounds[:-1], bounds[1:]))


def assert_close(system, rows, cols, direct, structured):
    """Every element within BOUND of its block's largest direct magnitude."""
    for r0, r1 in runs(system, rows, direct.shape[0]):
        for c0, c1 in runs(system, cols, direct.shape[1]):
            block = direct[r0:r1, c0:c1]
            error = np.abs(structured[r0:r1, c0:c1] - block).max()
            assert error <= BOUND * np.abs(block).max(), (r0, c0, error / np.abs(block).max())


# The exact model on the kinds that differ most; the rest once, in the run with slow tests.
CASES = [pytest.param(name, model, marks=[] if model == "exact" and name in (
    "lgs", "mixed altitudes", "turned, shifted, zoomed", "perturbed") else [pytest.mark.slow])
    for model in ("exact", "closed-form") for name in SYSTEMS]


@pytest.mark.parametrize("name, model", CASES)
def test_structured_is_close_to_direct(tmp_path, name, model):
    s = SYSTEMS[name](tmp_path)
    for rows, cols, lag in [("meas", "meas", 0.0), ("meas", "meas", 0.01), ("ts", "meas", 0.002),
                            ("ts", "ts", 0.0), ("phi", "phi", 0.003), ("meas", "phi", 0.0)]:
        direct = vedovx.covariance(s, rows, cols, lag=lag, model=model)
        structured = vedovx.covariance(s, rows, cols, lag=lag, model=model, method="structured")
        assert_close(s, rows, cols, direct, structured)


def pieces():
    """add_meas, add_ts and add_science on an empty system."""
    s = vedov.SystemGeom.new_empty()
    vedovx.add_meas(s, 8.0, 6, [[0.0, 0.0], [15.0, 5.0], [-5.0, 9.0]])
    vedovx.add_ts(s, 8.0, 4, [[1.0, 2.0]])
    vedovx.add_science(s, [[0.0, 0.0], [10.0, 5.0]], 7, teldiam=8.0)
    return s


BUILT = {
    "SystemGeom.new": lambda: vedov.SystemGeom.new(
        8.0, 0.14, 0.3, 5, 0.0, 2.0, 6, 4, 7, [(20.0, 0.0), (-10.0, 17.0), (-10.0, -17.0)],
        [(1.0, 2.0)], (0.0, 0.0), [(0.0, 0.0)] * 3, 0.0, [0.0] * 3, 0.0, [0.0] * 3, 9e4, 1.0),
    "vedovx.new_system": lambda: vedovx.new_system(
        teldiam=8.0, cobs=0.14, coupling=0.3, nactux=5, pitch=2.0, nsubx=6, nphisamples=7,
        wfs_dirs=vedovx.asterism(3, 20.0, altitude=9e4), ntssamples=4, ts_dirs=[[1.0, 2.0]],
        wfs_clocking=[0.0, 0.0, 0.1]),
    "add_meas, add_ts, add_science": pieces,
}


@pytest.mark.parametrize("name", BUILT)
def test_built_systems_fall_into_lattices(tmp_path, name):
    s = BUILT[name]()
    s.filter_meas(vedovx.projection(s, "meas_lines") == 1.0)
    n = vedovx.info(s).meas
    # The sensors' runs in reverse order, the first run shuffled.
    first = np.random.default_rng(3).permutation(n // 6)
    s.reorder_meas(np.concatenate([first, np.arange(n // 6, n)])[::-1])
    # Two runs (x and y slopes) per sensor, one per grid of phase samples, every member in one.
    for which, count, sites in [("meas", 6, (6, 6)), ("ts", 1, (4, 4)), ("phi", None, (7, 7))]:
        found = vedovx.lattices(s, which)
        assert not found.broken and all(r.sites == sites for r in found.lattices)
        assert sum(r.stop - r.start for r in found.lattices) == getattr(vedovx.info(s), which)
        assert count is None or len(found.lattices) == count
    found = vedovx.lattices(perturbed(s, tmp_path, 40, 1e-7), "meas").lattices
    assert [(r.start, r.stop) for r in found] == [(0, n // 6)] + [
        (k * n // 6, (k + 1) * n // 6) for k in range(2, 6)]


def test_what_breaks_the_structure_is_evaluated_directly(tmp_path):
    s = SYSTEMS["perturbed"](tmp_path)
    found = vedovx.lattices(s, "meas")
    assert [(b.start, b.stop) for b in found.broken] == [(0, found.lattices[0].start)]
    assert found.broken[0].reason == "the point of measurement 5 lies 1e-07 pitch off the lattice"
    direct = vedovx.covariance(s, "meas", "meas")
    structured = vedovx.covariance(s, "meas", "meas", method="structured")
    stop = found.broken[0].stop
    assert same_bits(structured[:stop], direct[:stop])
    assert same_bits(structured[:, :stop], direct[:, :stop])
    # The zoomed sensor (the last two runs) pairs with none of the others.
    s = SYSTEMS["turned, shifted, zoomed"](tmp_path)
    runs = vedovx.lattices(s, "meas").lattices
    assert [round(r.pitch, 12) for r in runs] == [1.0] * 6 + [1.02] * 2
    assert [round(r.angle, 9) for r in runs[:4]] == [0.0, 0.0, -17.188733854, -17.188733854]
    zoomed = slice(runs[6].start, None)
    direct = vedovx.covariance(s, "meas", "meas", lag=0.01)
    structured = vedovx.covariance(s, "meas", "meas", lag=0.01, method="structured")
    assert same_bits(structured[zoomed, :runs[6].start], direct[zoomed, :runs[6].start])


def test_blocks_workers_storage_and_products_agree_with_the_whole(tmp_path):
    s = SYSTEMS["mixed altitudes"](tmp_path)
    whole = vedovx.covariance(s, "meas", "meas", lag=0.01, method="structured")
    assert same_bits(vedovx.covariance(s, "meas", "meas", lag=0.01, method="structured",
                                       threads=1), whole)
    rows = np.random.default_rng(1).permutation(whole.shape[0])[:70]
    block = vedovx.covariance(s, "meas", "meas", lag=0.01, method="structured", rows_index=rows,
                              cols_index=slice(150, 20, -3))
    assert same_bits(block, whole[rows][:, 150:20:-3])
    single = vedovx.covariance(s, "meas", "meas", lag=0.01, method="structured",
                               dtype=np.float32)
    assert single.dtype == np.float32 and np.array_equal(single, whole.astype(np.float32))
    out = np.zeros((whole.shape[0] + 2, whole.shape[1] + 5))
    vedovx.covariance(s, "meas", "meas", lag=0.01, method="structured", out=out[1:-1, 2:-3])
    assert same_bits(out[1:-1, 2:-3], whole)
    recon = vedovx.recon_matrices(s, method="structured")
    direct = vedovx.recon_matrices(s)
    assert same_bits(recon.c_meas_meas, vedovx.covariance(s, "meas", "meas", method="structured"))
    assert same_bits(recon.c_ts_meas, vedovx.covariance(s, "ts", "meas", lag=0.002,
                                                        method="structured"))
    assert same_bits(recon.d_meas_com, direct.d_meas_com)
    system = vedovx.system_matrices(s, method="structured")
    assert same_bits(system.c_phip1_phi, vedovx.covariance(s, "phi", "phi", lag=0.001,
                                                          method="structured"))
    # Chosen layers, in their order, and the exact default.
    direct = vedovx.covariance(s, "meas", "meas", lag=0.01, layers=[5, 1])
    assert_close(s, "meas", "meas", direct, vedovx.covariance(
        s, "meas", "meas", lag=0.01, layers=[5, 1], method="structured"))
    with pytest.raises(ValueError, match="method must be one of 'direct', 'structured'"):
        vedovx.covariance(s, "meas", "meas", method="fast")


@pytest.mark.python_layer
def test_dask_blocks_equal_the_whole(tmp_path):
    import dask

    import vedovx.dask

    s = SYSTEMS["lgs"](tmp_path)
    whole = vedovx.covariance(s, "meas", "ts", method="structured", model="closed-form")
    array = vedovx.dask.covariance(s, "meas", "ts", method="structured", model="closed-form",
                                   chunks=(37, 50))
    with dask.config.set(scheduler="synchronous"):
        assert same_bits(array.compute(), whole)


@pytest.mark.parametrize("name", ["lgs", "mixed altitudes", "perturbed"])
def test_operator_applies_the_covariance(tmp_path, name):
    s = SYSTEMS[name](tmp_path)
    rng = np.random.default_rng(2)
    for rows, cols, lag in [("ts", "meas", 0.002), ("meas", "meas", 0.01)]:
        op = vedovx.covariance_operator(s, rows, cols, lag=lag)
        dense = vedovx.covariance(s, rows, cols, lag=lag)
        assert op.shape == dense.shape and op.dtype == np.float64
        x, z = rng.standard_normal((dense.shape[1], 3)), rng.standard_normal(dense.shape[0])
        for got, want, scale in [(op @ x, dense @ x, np.abs(dense) @ np.abs(x)),
                                 (op.matvec(x[:, 0]), dense @ x[:, 0], np.abs(dense) @ np.abs(x[:, 0])),
                                 (op.rmatvec(z), dense.T @ z, np.abs(dense.T) @ np.abs(z)),
                                 (op.adjoint() @ z, dense.T @ z, np.abs(dense.T) @ np.abs(z))]:
            assert np.all(np.abs(got - want) <= 1e-12 * scale)
        assert same_bits(pickle.loads(pickle.dumps(op)) @ x, op @ x)
    if name == "mixed altitudes":
        op = vedovx.covariance_operator(s, rows, cols, lag=lag, layers=slice(2, 5))
        dense = vedovx.covariance(s, rows, cols, lag=lag, layers=slice(2, 5))
        scale = np.abs(dense) @ np.abs(x)
        assert np.all(np.abs(op @ x - dense @ x) <= 1e-12 * scale)
    if name == "lgs":
        assert op.nbytes < dense.nbytes / 4


def test_operator_refuses_more_dense_blocks_than_allowed(tmp_path):
    s = SYSTEMS["perturbed"](tmp_path)
    stop, n = vedovx.lattices(s, "meas").broken[0].stop, vedovx.info(s).meas
    with pytest.raises(ValueError) as refused:
        vedovx.covariance_operator(s, "meas", "meas", max_dense_bytes=1000)
    message = str(refused.value)
    # The broken run's rows, and its columns in the other rows.
    assert message.startswith("covariance_operator: the blocks outside the lattice structure "
                              f"need {(2 * n - stop) * stop * 8:,} bytes")
    assert f"meas[0:{stop}]: the point of measurement 5 lies" in message
    s = SYSTEMS["turned, shifted, zoomed"](tmp_path)
    with pytest.raises(ValueError, match=r"meas\[0:\d+\] x meas\[\d+:\d+\]: lattices of another "
                                         "pitch, orientation or source altitude"):
        vedovx.covariance_operator(s, "meas", "meas", max_dense_bytes=0)


@pytest.mark.python_layer
def test_study_passes_the_method_through(tmp_path):
    study = pytest.importorskip("vedovx.study")
    s = SYSTEMS["lgs"](tmp_path)
    direct = study.reconstruction(s, 0.01, lag=0.002)
    structured = study.reconstruction(s, 0.01, lag=0.002, method="structured")
    assert not same_bits(structured.reconstructor, direct.reconstructor)
    assert np.allclose(structured.budget.total, direct.budget.total, rtol=1e-9, atol=0)


@pytest.mark.python_layer
@pytest.mark.slow
def test_preconditioned_cg_on_the_operator_meets_the_dense_solve(tmp_path):
    sla = pytest.importorskip("scipy.sparse.linalg")
    # Symmetric and positive definite (as conjugate gradients need), also beside a dense block.
    s = SYSTEMS["perturbed"](tmp_path)
    m = vedovx.covariance_operator(s, "meas", "meas").preconditioner(0.01).matmat(
        np.eye(vedovx.info(s).meas))
    assert np.abs(m - m.T).max() <= 1e-14 * np.abs(m).max()
    assert np.linalg.eigvalsh(m).min() > 0
    s = SYSTEMS["lgs"](tmp_path)
    op = vedovx.covariance_operator(s, "meas", "meas")
    a = sla.LinearOperator(op.shape, matvec=lambda v: op @ v + v, dtype=float)
    b = np.random.default_rng(4).standard_normal(op.shape[0])
    x, info = sla.cg(a, b, rtol=1e-12, M=op.preconditioner(1.0), maxiter=1000)
    want = np.linalg.solve(vedovx.covariance(s, "meas", "meas") + np.eye(op.shape[0]), b)
    assert info == 0 and np.linalg.norm(x - want) <= 1e-8 * np.linalg.norm(want)
