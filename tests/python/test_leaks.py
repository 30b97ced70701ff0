"""Every method and property, succeeding and failing in every way, many times: nothing accumulates."""

import ctypes
import gc
import sys

import pytest

import vedov
from conftest import ADDRESS_SANITIZED
from document_helpers import DATA

SystemGeom, SystemMatrices, ReconMatrices = vedov.SystemGeom, vedov.SystemMatrices, vedov.ReconMatrices

NEW_ARGS = dict(teldiam=4.0, cobs=0.2, coupling=0.3, nactux=3, dmalt=0.0, pitch=2.0, nsubx=2,
                ntssamples=2, nphisamples=2, wfs_dirs=[(0.0, 0.0)], ts_dirs=[(1.0, 1.0)],
                dm_delta=(0.0, 0.0), wfs_delta=[(0.0, 0.0)], dm_clocking=0.0, wfs_clocking=[0.0],
                dm_zoom=0.0, wfs_zoom=[0.0], gsalt=90000.0, microns_per_volt=1.0)
SYSTEM_FIELDS = ["c_phi_phi", "c_phip1_phi", "c_meas_phi", "d_meas_com", "d_phi_com", "p_phi",
                 "p_meas"]
RECON_FIELDS = ["c_ts_meas", "c_meas_meas", "d_ts_com", "d_meas_com", "p_meas"]


class Reenter:
    """A number whose conversion calls back into `system`, which the outer call holds."""

    def __init__(self, system, call):
        self.system, self.call = system, call

    def __float__(self):
        self.call(self.system)
        return 1.0

    __index__ = lambda self: int(self.__float__())  # noqa: E731


def refused(call, error):
    try:
        call()
    except BaseException as raised:  # PanicException derives from BaseException
        assert isinstance(raised, error), repr(raised)
        return type(raised)
    raise AssertionError("no failure")


def successes(tmp_path):
    s = SystemGeom.new(**NEW_ARGS)
    e = SystemGeom.new_empty()
    e.set_dt(0.1, 0.2)
    e.set_pupil(4.0, 0.2)
    e.add_phi(4.0, 2)
    e.add_ts(4.0, 2, [(0.0, 0.0)])
    e.add_meas(4.0, 2, [(0.0, 0.0)], 90000.0, [(0.0, 0.0)], [0.0], [0.0])
    e.add_com(2.0, 3, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
    e.add_ttdm(1.0)
    e.add_cov_layer()
    merged = SystemGeom.merge_meas([s, e])
    SystemGeom.merge_com((s, e))
    merged.filter_com([True] * 11 + [False] * 11)
    merged.filter_meas([True, False] * 8)
    merged.reorder_meas(range(7, -1, -1))
    merged.reorder_com([0, 1, 2])
    s.imat()
    s.imat_sparse([(0, 0), (1, 2)])
    s.pmeas()
    path = str(tmp_path / "leak.yaml")
    s.save_yaml(path)
    SystemGeom.load_yaml(path)
    m = SystemMatrices.new(s)
    for name in SYSTEM_FIELDS:
        getattr(m, name)
    r = ReconMatrices.new(s)
    for name in RECON_FIELDS:
        getattr(r, name)


def failures(tmp_path):
    s = SystemGeom.new(**NEW_ARGS)
    panic = BaseException
    # binding
    refused(lambda: s.set_dt(1.0), TypeError)
    refused(lambda: s.set_dt(1.0, 2.0, 3.0), TypeError)
    refused(lambda: s.set_dt(1.0, 2.0, simul_dt=1.0), TypeError)
    refused(lambda: s.set_dt(1.0, bogus=2.0), TypeError)
    refused(lambda: s.imat(1), TypeError)
    refused(lambda: SystemGeom(), TypeError)
    refused(lambda: setattr(s, "x", 1), AttributeError)
    # conversion: TypeError with its cause, and errors that pass unchanged
    refused(lambda: s.add_phi("4", 2), TypeError)
    refused(lambda: s.add_phi(4.0, -1), OverflowError)
    refused(lambda: s.add_phi(4.0, 2**64), OverflowError)
    refused(lambda: s.add_ts(4.0, 2, "ab"), TypeError)
    refused(lambda: s.add_ts(4.0, 2, [(0.0, 0.0, 0.0)]), ValueError)
    refused(lambda: s.filter_com([1]), TypeError)
    refused(lambda: s.save_yaml(b"name"), TypeError)
    refused(lambda: s.save_yaml("\udcff"), UnicodeEncodeError)
    refused(lambda: SystemMatrices.new(None), TypeError)
    # access
    refused(lambda: s.add_ttdm(Reenter(s, lambda t: t.imat())), RuntimeError)
    refused(lambda: s.imat_sparse([(Reenter(s, lambda t: t.add_ttdm(1.0)), 0)]), RuntimeError)
    # internal failures
    refused(lambda: s.reorder_meas([99]), panic)
    refused(lambda: s.filter_meas([True]), panic)
    refused(lambda: s.imat_sparse([(0, 99)]), panic)
    refused(lambda: SystemGeom.merge_com([]), panic)
    refused(lambda: s.add_phi(4.0, 2**33), panic)
    refused(lambda: SystemGeom.load_yaml(str(tmp_path / "missing.yaml")), panic)
    refused(lambda: SystemGeom.load_yaml(str(DATA)), panic)
    refused(lambda: s.save_yaml(str(tmp_path / "no" / "such.yaml")), panic)
    bad = tmp_path / "bad.yaml"
    bad.write_text("meas: [!Slope {}]\n")
    refused(lambda: SystemGeom.load_yaml(str(bad)), panic)
    bad.write_text("meas: [1, 2\n")
    refused(lambda: SystemGeom.load_yaml(str(bad)), panic)
    # memory: a request that fits a word but no memory
    if not ADDRESS_SANITIZED:
        refused(lambda: s.add_phi(4.0, 2**24), MemoryError)


class Stop(Exception):
    pass


def _stop(done, total):
    raise Stop


def vedovx_calls(tmp_path):
    """vedovx's evaluations, whole and in blocks, on the pool and on arenas of their own, frozen,
    stopped by their progress callable, refused."""
    vedovx = pytest.importorskip("vedovx")
    s = SystemGeom.new(**NEW_ARGS)
    for threads in (None, 1, 2):
        vedovx.covariance(s, "meas", "ts", threads=threads, model="exact", rows_index=[1, -1])
        vedovx.interaction(s, "phi", threads=threads, dtype="float32")
    vedovx.recon_matrices(vedovx.freeze(s), threads=2)
    refused(lambda: vedovx.covariance(s, "meas", "meas", progress=_stop), Stop)
    refused(lambda: vedovx.covariance(s, "meas", "meas", lag=float("nan")), ValueError)


def native_heap_bytes():
    """Bytes of the C heap in use (the module's own storage lives there)."""
    if ADDRESS_SANITIZED:
        runtime = ctypes.CDLL(None)
        runtime.__sanitizer_get_current_allocated_bytes.restype = ctypes.c_size_t
        return runtime.__sanitizer_get_current_allocated_bytes()

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
            "fordblks", "keepcost")]

    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def census():
    gc.collect()
    return {
        "python blocks": sys.getallocatedblocks(),
        "tracked objects": len(gc.get_objects()),
        "native bytes": native_heap_bytes(),
        # every instance holds a reference to its class
        "instances": sum(sys.getrefcount(c) for c in (SystemGeom, SystemMatrices, ReconMatrices)),
    }


# What may change between the two counts without any leak: free lists and caches filling up. A
# leak of one object per call, or of a few hundred bytes per round, is far above these. (Under the
# address sanitizer every interpreter allocation counts as native and the counts are noisier; its
# leak checker then finds native leaks exactly.)
SLACK = {"python blocks": 200, "tracked objects": 50,
         "native bytes": (256 if ADDRESS_SANITIZED else 32) * 1024, "instances": 0}


@pytest.mark.parametrize("workload", [successes, failures, vedovx_calls])
def test_nothing_accumulates(tmp_path, workload):
    for _ in range(10):  # warm up: classes, exception type, interned names, caches
        workload(tmp_path)
    before = census()
    for _ in range(100):
        workload(tmp_path)
    after = census()
    grown = {key: after[key] - before[key] for key in before}
    assert all(grown[key] <= SLACK[key] for key in grown), grown


def test_classes_and_the_exception_are_made_once(tmp_path):
    s = SystemGeom.new_empty()

    def panic_type():
        try:
            s.reorder_com([1])
        except BaseException as raised:
            return type(raised)

    first = panic_type()
    assert first.__name__ == "PanicException" and first.__bases__ == (BaseException,)
    counts = [sys.getrefcount(first)]
    for _ in range(100):
        assert panic_type() is first
    gc.collect()
    counts.append(sys.getrefcount(first))
    assert counts[0] == counts[1]
    assert type(SystemGeom.new_empty()) is SystemGeom
    assert type(SystemMatrices.new(s)) is SystemMatrices


@pytest.mark.skipif(ADDRESS_SANITIZED, reason="the sanitizer's quarantine keeps freed memory")
def test_evaluations_on_arenas_of_their_own_give_their_memory_back():
    # An arena made and dropped per evaluation left several kilobytes of oneTBB's memory behind
    # each time (not the C heap's: resident memory shows it).
    vedovx = pytest.importorskip("vedovx")
    s = SystemGeom.new(**NEW_ARGS)

    def resident():
        gc.collect()
        with open("/proc/self/statm", encoding="ascii") as statm:
            return int(statm.read().split()[1]) * 4096

    for _ in range(100):
        vedovx.covariance(s, "meas", "phi", threads=2)
    before = resident()
    for _ in range(2000):
        vedovx.covariance(s, "meas", "phi", threads=2)
    assert resident() - before < 2 * 2**20
