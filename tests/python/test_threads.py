"""Several Python threads on shared systems and results, and processes forked from a busy parent."""

import multiprocessing
import os
import random
import signal
import sys
import threading
import time

import pytest

import vedov
from conftest import bits, com_count

SystemGeom, SystemMatrices, ReconMatrices = vedov.SystemGeom, vedov.SystemMatrices, vedov.ReconMatrices
SYSTEM_FIELDS = ["c_phi_phi", "c_phip1_phi", "c_meas_phi", "d_meas_com", "d_phi_com", "p_phi",
                 "p_meas"]
RECON_FIELDS = ["c_ts_meas", "c_meas_meas", "d_ts_com", "d_meas_com", "p_meas"]
THREADS = 6
INDICES = [(0, 0), (5, 3), (2, 7), (5, 3)]


def shared_system():
    s = SystemGeom.new(teldiam=4.0, cobs=0.2, coupling=0.3, nactux=4, dmalt=0.0, pitch=1.2,
                       nsubx=3, ntssamples=2, nphisamples=3, wfs_dirs=[(0.0, 0.0), (8.0, -8.0)],
                       ts_dirs=[(2.0, 2.0)], dm_delta=(0.0, 0.0), wfs_delta=[(0.0, 0.0)] * 2,
                       dm_clocking=0.0, wfs_clocking=[0.0, 0.1], dm_zoom=0.0,
                       wfs_zoom=[0.0, 0.02], gsalt=90000.0, microns_per_volt=1.0)
    s.set_dt(0.01, 0.02)
    return s


def as_bits(value):
    """Floats, lists and lists of lists as bit patterns, so that results compare bit for bit."""
    if isinstance(value, float):
        return bits(value)
    return [as_bits(v) for v in value]


class Yielding:
    """A number that lets other threads run while it is converted (the call holds the object)."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0.0002)  # releases the interpreter lock
        return float(self.value)

    def __index__(self):
        time.sleep(0.0002)
        return int(self.value)


def run_threads(body, count=THREADS):
    errors = []

    def guarded(k):
        try:
            body(k)
        except BaseException as error:  # noqa: B902 - a PanicException must reach the test too
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert not errors, errors


def test_shared_readers_see_single_threaded_results_and_are_never_refused(tmp_path):
    s = shared_system()
    recon = ReconMatrices.new(s)
    path = tmp_path / "reference.yaml"
    s.save_yaml(str(path))
    document = path.read_text()
    expected = {
        "imat": as_bits(s.imat()),
        "sparse": as_bits(s.imat_sparse(INDICES)),
        "pmeas": as_bits(s.pmeas()),
        "system": [as_bits(getattr(SystemMatrices.new(s), f)) for f in SYSTEM_FIELDS],
        "recon": [as_bits(getattr(recon, f)) for f in RECON_FIELDS],
    }

    def reader(k):
        rng = random.Random(k)
        own = tmp_path / f"reader{k}.yaml"
        for _ in range(25):
            step = rng.randrange(7)
            if step == 0:
                assert as_bits(s.imat()) == expected["imat"]
            elif step == 1:
                # Shared access held while the indices convert and other threads run meanwhile.
                slow = [(Yielding(i), Yielding(j)) for i, j in INDICES]
                assert as_bits(s.imat_sparse(slow)) == expected["sparse"]
            elif step == 2:
                assert as_bits(s.pmeas()) == expected["pmeas"]
            elif step == 3:
                m = SystemMatrices.new(s)
                assert [as_bits(getattr(m, f)) for f in SYSTEM_FIELDS] == expected["system"]
            elif step == 4:
                r = ReconMatrices.new(s)
                assert [as_bits(getattr(r, f)) for f in RECON_FIELDS] == expected["recon"]
            elif step == 5:
                assert [as_bits(getattr(recon, f)) for f in RECON_FIELDS] == expected["recon"]
            else:
                s.save_yaml(str(own))
                assert own.read_text() == document
                copy = SystemGeom.load_yaml(str(own))
                assert as_bits(SystemGeom.merge_meas([copy]).imat()) == expected["imat"]

    run_threads(reader)
    s.save_yaml(str(path))
    assert path.read_text() == document


def test_writers_and_readers_on_one_system_are_refused_only_by_the_access_rules(tmp_path):
    s = shared_system()
    start = com_count(s)
    outcomes = []  # (what was asked, "done" or the refusal's message), from every thread
    added = []

    def attempt(kind, call):
        try:
            call()
        except RuntimeError as refusal:
            outcomes.append((kind, str(refusal)))
            return False
        outcomes.append((kind, "done"))
        return True

    def worker(k):
        rng = random.Random(100 + k)
        own = str(tmp_path / f"worker{k}.yaml")
        for _ in range(40):
            step = rng.randrange(5)
            if step == 0:
                # Exclusive access held while the scale converts slowly.
                if attempt("exclusive", lambda: s.add_ttdm(Yielding(1.0))):
                    added.append(2)
            elif step == 1:
                attempt("exclusive", lambda: s.set_dt(Yielding(0.01), Yielding(0.02)))
            elif step == 2:
                attempt("shared", lambda: s.imat_sparse([(Yielding(0), Yielding(0))]))
            elif step == 3:
                attempt("shared", lambda: s.save_yaml(own))
            else:
                attempt("shared", lambda: ReconMatrices.new(s))

    run_threads(worker)
    allowed = {("exclusive", "done"), ("exclusive", "Already borrowed"), ("shared", "done"),
               ("shared", "Already mutably borrowed")}
    assert set(outcomes) <= allowed, set(outcomes) - allowed
    assert ("exclusive", "Already borrowed") in outcomes  # the threads did meet
    # Every completed addition is there once; nothing else changed.
    assert com_count(s) == start + sum(added)
    reference = shared_system()
    for _ in range(len(added)):
        reference.add_ttdm(1.0)
    assert as_bits(s.imat()) == as_bits(reference.imat())


def test_threads_build_their_own_systems_from_shared_ones():
    s = shared_system()

    def build(pitch, nactux):
        own = SystemGeom.merge_meas([s])  # a copy taken under brief shared access
        own.add_com(pitch, nactux, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
        own.add_ttdm(1.0)
        return as_bits(own.imat())

    expected = build(0.9, 5)
    results = [None] * THREADS

    def builder(k):
        results[k] = build(Yielding(0.9), Yielding(5))

    run_threads(builder)
    assert results == [expected] * THREADS


# ---- fork: the child of a process whose pool exists evaluates on its own, with equal results

CHILD_TIMEOUT = 60


def recon_bits(system):
    r = ReconMatrices.new(system)
    return [as_bits(getattr(r, f)) for f in RECON_FIELDS]


def forked(work):
    """Runs work() in a child made by os.fork; its exit status says whether it returned True."""
    pid = os.fork()
    if pid == 0:
        signal.alarm(CHILD_TIMEOUT)  # a hung child ends instead of hanging the test
        try:
            code = 0 if work() else 1
        except BaseException:  # noqa: B902
            code = 2
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    return status


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # forking a multi-threaded process
def test_a_forked_child_evaluates_as_its_parent():
    s = shared_system()
    expected = recon_bits(s)  # the worker pool exists from here on

    def child():
        again = recon_bits(s)
        grandchild = forked(lambda: recon_bits(s) == expected)
        return again == expected and grandchild == 0

    assert forked(child) == 0
    assert recon_bits(s) == expected  # the parent's pool is untouched


def _child_recon(_):
    return recon_bits(shared_system())


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_multiprocessing_with_fork_evaluates_in_every_worker():
    expected = recon_bits(shared_system())
    context = multiprocessing.get_context("fork")
    with context.Pool(2) as pool:
        results = pool.map_async(_child_recon, range(4)).get(timeout=CHILD_TIMEOUT)
    assert results == [expected] * 4


@pytest.mark.skipif(sys.platform != "linux", reason="fork is a Linux matter here")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_fork_while_other_threads_use_the_pool():
    s = shared_system()
    expected = recon_bits(s)
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            s.imat()

    threads = [threading.Thread(target=busy) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        statuses = [forked(lambda: recon_bits(s) == expected) for _ in range(5)]
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert statuses == [0] * 5
