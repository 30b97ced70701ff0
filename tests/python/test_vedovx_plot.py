"""vedovx.plot draws every figure headless, each into given Axes or a Figure of its own."""

import io

import numpy as np
import pytest

import vedovx

pytest.importorskip("matplotlib")
plot = pytest.importorskip("vedovx.plot")
study = pytest.importorskip("vedovx.study")
from test_vedovx_study import two_star_system  # noqa: E402

pytestmark = pytest.mark.python_layer


def png(ax):
    buffer = io.BytesIO()
    ax.figure.savefig(buffer, format="png", dpi=40)
    assert buffer.getvalue()[:8] == b"\x89PNG\r\n\x1a\n"
    return ax


def test_every_figure_renders():
    s, science = two_star_system()
    result = study.reconstruction(s, study.slope_noise(s, 0.05), science=science, dms=True,
                                  wavelength=1.65e-6)
    kept = np.zeros(vedovx.info(s).com, dtype=bool)
    kept[::2] = True
    ax = png(plot.pupil(s, kept_com=kept))
    assert "sub-apertures of sensor 0 kept" in ax.get_title()
    assert len(ax.patches) == 1 + 1 + 12  # the rims and the kept sub-apertures of 4 x 4
    png(plot.footprints(s, 5000.0, science=science))
    c = vedovx.covariance(s, "meas", "meas")
    png(plot.covariance(c, boundaries=[24], labels=["star 1", "star 2"]))
    ax = png(plot.error_map(result.budget, 1, "tomographic", system=s))
    assert '(10", 5")' in ax.get_title()
    png(plot.error_map(result.budget, 0, values=np.ones(32)))
    ax = png(plot.budget(result.budget))
    assert len(ax.patches) == 3 * 2  # three terms stacked over two directions
    with pytest.raises(ValueError, match="values: 3 values for 32 samples"):
        plot.error_map(result.budget, 0, values=np.ones(3))
    with pytest.raises(ValueError, match="sensor: 5 is not one of the 2 sensors"):
        plot.pupil(s, sensor=5)
