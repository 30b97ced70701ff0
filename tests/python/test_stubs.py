"""The type stubs against the module: signatures (mypy's stubtest), read-only properties, install."""

import ast
import inspect
import pathlib
import subprocess
import sys

import pytest

import vedov
from conftest import child_environment

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "vedov" / "binding" / "vedov.pyi"


def decorated(node, name):
    return any(isinstance(d, ast.Name) and d.id == name for d in node.decorator_list)


def stub_classes():
    """{class name: (static methods, properties, setter-like decorators)} declared in the stub."""
    out = {}
    for node in ast.parse(SOURCE.read_text()).body:
        if isinstance(node, ast.ClassDef):
            functions = [f for f in node.body if isinstance(f, ast.FunctionDef)]
            static = {f.name for f in functions if decorated(f, "staticmethod")}
            properties = {f.name for f in functions if decorated(f, "property")}
            setters = [f.name for f in functions if any(isinstance(d, ast.Attribute)
                                                        for d in f.decorator_list)]
            out[node.name] = (static, properties, setters)
    return out


def test_signatures_match_the_module(tmp_path):
    pytest.importorskip("mypy")
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vedov"], cwd=tmp_path,
                         env=child_environment(MYPYPATH=str(SOURCE.parent)), capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.parametrize("name", vedov.__all__)
def test_static_methods_and_read_only_properties(name):
    static, properties, setters = stub_classes()[name]
    members = vars(getattr(vedov, name))
    assert static == {k for k, v in members.items() if isinstance(v, staticmethod)}
    assert properties == {k for k, v in members.items() if inspect.isgetsetdescriptor(v)}
    assert setters == []


def test_stubs_sit_beside_the_module():
    beside = pathlib.Path(vedov.__file__).with_name("vedov.pyi")
    assert beside.read_text() == SOURCE.read_text()
