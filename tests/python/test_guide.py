"""The user guide's examples run: its Python blocks in order, and its YAML document loads."""

import pathlib
import re

import pytest

import vedov
from conftest import com_count, meas_count

pytestmark = pytest.mark.python_layer

GUIDE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "guide.md"


def blocks(language):
    return re.findall(rf"```{language}\n(.*?)```", GUIDE.read_text(encoding="utf-8"), re.DOTALL)


def test_python_examples_run_in_order(tmp_path, monkeypatch, capsys):
    pytest.importorskip("numpy")
    monkeypatch.chdir(tmp_path)
    namespace = {}
    for code in blocks("python"):
        exec(compile(code, str(GUIDE), "exec"), namespace)
    system = namespace["system"]
    # 52 of the 8 x 8 subapertures have their centre in the pupil.
    assert meas_count(system) == 4 * 2 * 52
    assert namespace["commands"].shape == (com_count(system), meas_count(system))
    assert 0 < namespace["residual"] < 100
    assert "nm at 500 nm" in capsys.readouterr().out


def test_annotated_document_loads(tmp_path):
    (document,) = blocks("yaml")
    path = tmp_path / "annotated.yaml"
    path.write_text(document, encoding="utf-8")
    system = vedov.SystemGeom.load_yaml(str(path))
    assert (meas_count(system), com_count(system)) == (3, 2)
    # The third line crosses the pupil on the spider.
    assert system.pmeas() == [1.0, 1.0, 0.0]
    system.save_yaml(str(path))
    assert vedov.SystemGeom.load_yaml(str(path)).pmeas() == system.pmeas()
