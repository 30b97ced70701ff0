"""The ELT tomography example runs on a LocalCluster at a small scale; its Zarr store holds the
matrices of the system it saved, bit for bit."""

import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import vedov
import vedovx
from conftest import child_environment
from test_vedovx_arrays import same_bits

pytestmark = pytest.mark.python_layer

zarr = pytest.importorskip("zarr")
pytest.importorskip("distributed")

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "elt_tomography.py"


def test_small_study_on_a_local_cluster(tmp_path):
    run = subprocess.run(
        [sys.executable, str(EXAMPLE), "--scale", "0.1", "--chunk", "35", "--keep", "--output",
         str(tmp_path)],
        env=child_environment(), capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    for step in ("cluster", "system", "covariances", "cholesky", "reconstructor", "error"):
        assert f"  {step}: " in run.stdout
    assert "| 100% Completed |" in run.stdout  # Dask's progress bar

    system = vedov.SystemGeom.load_yaml(str(tmp_path / "system.yaml"))
    n = vedovx.info(system).meas
    assert n == 2 * 2 * 36  # 2 stars, 36 of the 7 x 7 subapertures see the pupil
    store = zarr.open_group(str(tmp_path / "elt.zarr"), mode="r")
    # Equal blocks of at most 35: 5 of 29, the factor padded by one row and column.
    assert store["c_meas_meas"].chunks == (29, 29) and store["cholesky"].shape == (145, 145)
    recon = vedovx.recon_matrices(system, model="closed-form")
    assert same_bits(store["c_meas_meas"][:], recon.c_meas_meas)
    assert same_bits(store["c_ts_meas"][:], recon.c_ts_meas)
    # The stored factor and reconstructor are what NumPy finds from the same matrices.
    results = json.loads((tmp_path / "results.json").read_text())["results"]
    c = recon.c_meas_meas + results["noise_var"] * np.eye(n)
    assert np.allclose(store["cholesky"][:n, :n], np.linalg.cholesky(c), rtol=0, atol=1e-9)
    expected = np.linalg.solve(c, recon.c_ts_meas.T).T
    assert np.allclose(store["reconstructor"][:], expected, rtol=1e-6, atol=1e-9)
    assert 0 < results["error_rad2"] < results["uncorrected_rad2"]
    # Both models' budgets: the noise is a part of the estimation error.
    models = json.loads((tmp_path / "results.json").read_text())["models"]
    assert models["closed-form"] == results and set(models) == {"closed-form", "exact"}
    for figures in models.values():
        assert 0 < figures["noise_rad2"] < figures["error_rad2"]
        assert figures["budget_total_rad2"] == figures["error_rad2"] + figures["fitting_rad2"]
