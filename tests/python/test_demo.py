"""The example studies (the laser-tomography demo, the MCAO field) run end to end with small
settings and give sane numbers."""

import json
import pathlib
import subprocess
import sys

import pytest

import vedov
from conftest import child_environment, meas_count

pytestmark = pytest.mark.python_layer

pytest.importorskip("numpy")
pytest.importorskip("matplotlib")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
DEMO = EXAMPLES / "demo.py"


def test_small_study(tmp_path):
    run = subprocess.run(
        [sys.executable, str(DEMO), "--nsubx", "4", "--nactux", "5", "--nphi", "8",
         "--output", str(tmp_path)],
        env=child_environment(MPLBACKEND="Agg"), capture_output=True, text=True, timeout=300,
    )
    assert run.returncode == 0, run.stderr
    for step in ("actuators", "exact model", "closed form", "judged", "yaml", "figure"):
        assert f"  {step}: " in run.stdout

    figure = tmp_path / "ltao_study.png"
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and figure.stat().st_size > 20_000

    # 12 of the 4 x 4 subapertures have their centre in the pupil: 4 stars x 2 axes x 12 slopes.
    assert meas_count(vedov.SystemGeom.load_yaml(str(tmp_path / "system.yaml"))) == 96

    results = json.loads((tmp_path / "results.json").read_text())["results"]
    assert results["slopes"] == 96
    assert 0 < results["total_error_rad2"] < results["uncorrected_rad2"]
    assert results["tomographic_error_rad2"] < results["total_error_rad2"]
    assert 0 < results["strehl_total_1650nm"] < 1
    # The exact prior: a smaller error budget, and the closed-form estimate no better than its own.
    assert 0 < results["exact_total_error_rad2"] < results["total_error_rad2"]
    assert results["exact_closed_form_estimate_rad2"] >= results["exact_total_error_rad2"]
    # The mirror: its fit and the corrected phase's residual cost less than no correction.
    assert 0 < results["exact_fitting_rad2"] < results["exact_uncorrected_rad2"]
    assert 0 < results["exact_corrected_residual_rad2"] < results["exact_uncorrected_rad2"]


def test_mcao_field(tmp_path):
    run = subprocess.run(
        [sys.executable, str(EXAMPLES / "mcao_field.py"), "--nsubx", "4", "--nsamples", "4",
         "--output", str(tmp_path)],
        env=child_environment(MPLBACKEND="Agg"), capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "Error budget, 9 direction(s)" in run.stdout
    assert (tmp_path / "mcao_field.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    results = json.loads((tmp_path / "results.json").read_text())
    rad2 = results["rad2"]
    assert len(results["directions"]) == 9 and results["directions"][4] == [0.0, 0.0]
    for k in range(9):
        assert 0 < rad2["residual"][k] < rad2["uncorrected"][k]
        assert rad2["total"][k] == rad2["noise"][k] + rad2["tomographic"][k] + rad2["fitting"][k]
