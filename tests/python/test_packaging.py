"""The installed packages: one version, what an install holds, and which copy Python imports."""

import importlib.metadata
import json
import pathlib
import re
import subprocess
import sys

import pytest

import vedov
import vedovx

pytestmark = pytest.mark.python_layer

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
DISTRIBUTION = importlib.metadata.distribution("vedov")
EDITABLE = json.loads(DISTRIBUTION.read_text("direct_url.json") or "{}").get(
    "dir_info", {}).get("editable", False)
# The sanitized runs import a build tree (PYTHONPATH) in place of what is installed.
INSTALLED = pathlib.Path(vedov.__file__).parent == pathlib.Path(DISTRIBUTION.locate_file(""))


@pytest.mark.wheel
def test_one_version_everywhere():
    cmake = (CHECKOUT / "CMakeLists.txt").read_text()
    written = re.search(r"project\(vedov\b[^)]*\bVERSION\s+([0-9.]+)", cmake)[1]
    assert vedovx.__version__ == importlib.metadata.version("vedov") == written


@pytest.mark.wheel
@pytest.mark.skipif(EDITABLE or not INSTALLED, reason="for vedov imported from a wheel's install")
def test_an_install_holds_modules_stubs_and_libraries_but_no_sources():
    files = {str(name) for name in DISTRIBUTION.files}
    assert {"vedov.pyi", "vedov-stubs/__init__.pyi", "vedovx/py.typed", "vedovx/_native.pyi",
            "vedovx/_version.py", "vedov.libs/libvedov_runtime.so"} <= files
    sources = (".cpp", ".hpp", ".inl", "CMakeLists.txt")
    assert not [name for name in files if name.endswith(sources)]
    if any(re.fullmatch(r"vedov\.libs/libtbb-[0-9a-f]+\.so\.12", name) for name in files):
        # A repaired wheel carries oneTBB, which loads its allocator from beside itself.
        assert "vedov.libs/libtbbmalloc.so.2" in files
        vedovx.covariance(vedov.SystemGeom.new_empty(), "meas", "meas")
        libs = pathlib.Path(vedov.__file__).parent / "vedov.libs"
        assert str(libs / "libtbbmalloc.so.2") in pathlib.Path("/proc/self/maps").read_text()


def test_python_started_in_the_checkout_imports_the_installed_packages(tmp_path):
    def imported_from(cwd):
        code = "import vedov, vedovx; print(vedov.__file__, vedovx.__file__, vedovx._native.__file__)"
        return subprocess.run([sys.executable, "-c", code], cwd=cwd, capture_output=True,
                              text=True, check=True, timeout=60).stdout

    assert imported_from(CHECKOUT) == imported_from(tmp_path)


@pytest.mark.skipif(not EDITABLE, reason="for an editable install (pip install -e .)")
def test_an_editable_install_reads_the_python_sources_and_the_build():
    sources = CHECKOUT / "src" / "vedovx"
    assert pathlib.Path(vedovx.__file__) == sources / "__init__.py"
    assert pathlib.Path(vedovx._arrays.__file__) == sources / "_arrays.py"
    # The compiled part comes from the build, installed into the environment.
    assert pathlib.Path(vedovx._native.__file__).parent == DISTRIBUTION.locate_file("vedovx")
