"""The type stubs against the module: signatures (mypy's stubtest), read-only properties, install;
the names that vedovx's declarations and the guide repeat from the compiled part's registry."""

import ast
import dataclasses
import inspect
import pathlib
import re
import subprocess
import sys

import pytest

import vedov
from conftest import child_environment

pytestmark = pytest.mark.python_layer

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


def _registry_views():
    """Each declaration of the Python layer and the docs that repeats a name of the compiled part's
    registry: (what it is, the names it declares, the registry's names)."""
    import typing

    import vedovx.dask
    from vedovx import _frozen, _inspect, _matrices, _registry

    def fields(cls):
        return {f.name for f in dataclasses.fields(cls)}

    guide = (SOURCE.parents[2] / "docs" / "guide.md").read_text(encoding="utf-8")
    views = [
        ("Measurements", set(typing.get_args(_matrices.Measurements)), set(_registry.MEASUREMENTS)),
        ("Model", typing.get_args(_matrices.Model), _registry.MODELS),
        ("Method", typing.get_args(_matrices.Method), _registry.METHODS),
        ("Positioned", set(typing.get_args(_inspect.Positioned)), set(_registry.LISTS)),
        ("PROJECTED", set(_matrices.PROJECTED), set(typing.get_args(_matrices.ProjectedRows))),
        ("ProjectedRows", set(_matrices.PROJECTED) - set(_registry.LISTS), set()),
        ("Counts", _frozen.Counts._fields, _registry.COUNTS),
        ("SystemInfo", fields(vedovx.SystemInfo) & set(_registry.LISTS), set(_registry.LISTS)),
    ]
    for name, steps in _registry.PRODUCT_SETS.items():
        expected = {step.field for step in steps}
        for module in (vedovx, vedovx.dask):
            views.append((f"{module.__name__}.{name}", fields(getattr(module, name)), expected))
        views.append((f"vedov.{name}", {k for k, v in vars(getattr(vedov, name)).items()
                                         if inspect.isgetsetdescriptor(v)}, expected))
        row = next(line for line in guide.splitlines() if line.startswith(f"| `{name}.new("))
        views.append((f"the guide's {name} row", set(re.findall(r"`(\w+)`", row)), expected))
    return views


@pytest.mark.parametrize("view", _registry_views(), ids=lambda view: view[0])
def test_declared_names_follow_the_registry(view):
    _, declared, registry = view
    assert declared == registry
