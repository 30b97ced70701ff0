"""The example study runs end to end with small settings and gives sane numbers."""

import json
import pathlib
import subprocess
import sys

import pytest

import vedov
from conftest import child_environment, meas_count

pytest.importorskip("numpy")
pytest.importorskip("matplotlib")

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def test_small_study(tmp_path):
    run = subprocess.run(
        [sys.executable, str(DEMO), "--nsubx", "4", "--nactux", "5", "--nphi", "8",
         "--output", str(tmp_path)],
        env=child_environment(MPLBACKEND="Agg"), capture_output=True, text=True, timeout=300,
    )
    assert run.returncode == 0, run.stderr
    for step in ("SystemMatrices", "ReconMatrices", "reconstructor", "exact model", "yaml", "figure"):
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
