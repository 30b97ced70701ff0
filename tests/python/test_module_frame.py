"""The module frame: import, classes, text signatures and argument binding."""

import inspect
import weakref

import pytest

import vedov
from conftest import Hook

SIGNATURES = {
    ("SystemGeom", "new_empty"): "new_empty()",
    ("SystemGeom", "save_yaml"): "save_yaml($self, filename)",
    ("SystemGeom", "load_yaml"): "load_yaml(filename)",
    ("SystemGeom", "set_dt"): "set_dt($self, simul_dt, meas_dt)",
    ("SystemGeom", "add_phi"): "add_phi($self, teldiam, nphisamples)",
    ("SystemGeom", "add_ts"): "add_ts($self, teldiam, ntssamples, ts_dirs)",
    ("SystemGeom", "add_meas"): "add_meas($self, teldiam, nsubx, wfs_dirs, gsalt, wfs_delta, "
    "wfs_clocking, wfs_zoom)",
    ("SystemGeom", "add_com"): "add_com($self, pitch, nactux, dm_delta, dmalt, coupling, "
    "dm_clocking, dm_zoom, microns_per_volt)",
    ("SystemGeom", "add_ttdm"): "add_ttdm($self, scale)",
    ("SystemGeom", "add_cov_layer"): "add_cov_layer($self)",
    ("SystemGeom", "set_pupil"): "set_pupil($self, teldiam, cobs)",
    ("SystemGeom", "new"): "new(teldiam, cobs, coupling, nactux, dmalt, pitch, nsubx, ntssamples, "
    "nphisamples, wfs_dirs, ts_dirs, dm_delta, wfs_delta, dm_clocking, wfs_clocking, dm_zoom, "
    "wfs_zoom, gsalt, microns_per_volt)",
    ("SystemGeom", "merge_meas"): "merge_meas(systems)",
    ("SystemGeom", "merge_com"): "merge_com(systems)",
    ("SystemGeom", "filter_com"): "filter_com($self, valid_com)",
    ("SystemGeom", "filter_meas"): "filter_meas($self, valid_meas)",
    ("SystemGeom", "reorder_meas"): "reorder_meas($self, order)",
    ("SystemGeom", "reorder_com"): "reorder_com($self, order)",
    ("SystemGeom", "imat"): "imat($self)",
    ("SystemGeom", "imat_sparse"): "imat_sparse($self, indices)",
    ("SystemGeom", "pmeas"): "pmeas($self)",
    ("SystemMatrices", "new"): "new(system_geom)",
    ("ReconMatrices", "new"): "new(system_geom)",
}

CLASSES = ["SystemMatrices", "ReconMatrices", "SystemGeom"]


def test_module_exports_exactly_the_three_classes():
    assert vedov.__all__ == CLASSES
    public = sorted(name for name in dir(vedov) if not name.startswith("_"))
    assert public == sorted(CLASSES)
    assert not hasattr(vedov, "PanicException")
    assert isinstance(vedov.__doc__, str) and vedov.__doc__


@pytest.mark.parametrize("name", CLASSES)
def test_classes_refuse_direct_creation(name):
    cls = getattr(vedov, name)
    for args, kwargs in [((), {}), ((1, 2), {"x": 3})]:
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert str(info.value) == f"cannot create 'vedov.{name}' instances"
    assert cls.__doc__ is None
    assert cls.__module__ == "vedov"
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("name", CLASSES)
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError):
        type("Derived", (getattr(vedov, name),), {})


def test_instances_have_no_dict_and_no_weak_references(empty):
    with pytest.raises(AttributeError):
        empty.anything = 1
    with pytest.raises(AttributeError):
        empty.__dict__
    with pytest.raises(TypeError):
        weakref.ref(empty)


@pytest.mark.parametrize("key", sorted(SIGNATURES), ids="{0[0]}.{0[1]}".format)
def test_text_signatures(key):
    cls, method = key
    function = getattr(getattr(vedov, cls), method, None)
    if function is None:
        pytest.skip(f"{cls}.{method} is not built yet")
    assert method + function.__text_signature__ == SIGNATURES[key]
    assert function.__doc__ is None  # the docstring is the signature block alone
    inspect.signature(function)  # the interpreter can read it


def test_static_methods_work_on_instances_too(empty):
    assert type(empty.new_empty()) is vedov.SystemGeom
    assert empty.new_empty() is not empty


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.set_dt(0.1), "SystemGeom.set_dt() missing 1 required positional argument: "
         "'meas_dt'"),
        (lambda s: s.set_dt(), "SystemGeom.set_dt() missing 2 required positional arguments: "
         "'simul_dt' and 'meas_dt'"),
        (lambda s: s.set_dt(meas_dt=1.0), "SystemGeom.set_dt() missing 1 required positional "
         "argument: 'simul_dt'"),
        (lambda s: s.set_dt(1.0, 2.0, 3.0), "SystemGeom.set_dt() takes 2 positional arguments but "
         "3 were given"),
        (lambda s: s.set_pupil(1.0, 2.0, 3.0, 4.0), "SystemGeom.set_pupil() takes 2 positional "
         "arguments but 4 were given"),
        (lambda s: s.set_dt(1.0, simul_dt=2.0), "SystemGeom.set_dt() got multiple values for "
         "argument 'simul_dt'"),
        (lambda s: s.set_dt(1.0, 2.0, dt=3.0), "SystemGeom.set_dt() got an unexpected keyword "
         "argument 'dt'"),
        (lambda s: s.set_pupil(cobs=1.0, other=2.0), "SystemGeom.set_pupil() got an unexpected "
         "keyword argument 'other'"),
        (lambda s: vedov.ReconMatrices.new(), "ReconMatrices.new() missing 1 required positional "
         "argument: 'system_geom'"),
        (lambda s: vedov.SystemMatrices.new(1, 2), "SystemMatrices.new() takes 1 positional "
         "arguments but 2 were given"),
        (lambda s: vedov.ReconMatrices.new(system=1), "ReconMatrices.new() got an unexpected "
         "keyword argument 'system'"),
    ],
)
def test_binding_errors(empty, call, message):
    with pytest.raises(TypeError) as info:
        call(empty)
    assert str(info.value) == message
    assert info.value.__cause__ is None


def test_keywords_in_any_order(empty):
    assert empty.set_dt(meas_dt=0.2, simul_dt=0.1) is None
    assert empty.set_pupil(8.0, cobs=0.14) is None


@pytest.mark.parametrize("method", ["add_cov_layer", "new_empty"])
def test_no_argument_methods_refuse_arguments(empty, method):
    with pytest.raises(TypeError):
        getattr(empty, method)(1)
    with pytest.raises(TypeError):
        getattr(empty, method)(x=1)


def test_non_type_errors_pass_unchanged(empty):
    def explode():
        raise ValueError("no float today")

    with pytest.raises(ValueError, match="^no float today$") as info:
        empty.set_dt(Hook(1.0, explode), 0.0)
    assert info.value.__cause__ is None
