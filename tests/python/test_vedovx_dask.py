"""Frozen systems and vedovx.dask: values that travel, blocks equal to the in-memory arrays bit for
bit, in this process and on a cluster of two worker processes that loses one of them."""

import os
import pickle
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vedov
import vedovx
from conftest import child_environment
from document_helpers import load_text
from test_matrices import EVERY_KIND, small_system
from test_vedovx_arrays import RECON, SYSTEM, SYSTEMS, same_bits

dask = pytest.importorskip("dask")
import vedovx.dask  # noqa: E402  (needs Dask)
from dask.highlevelgraph import HighLevelGraph  # noqa: E402



def panicking_system(tmp_path):
    # A slope of 2^64 - 1 edge points: no allocation holds its bundle, any covariance panics.
    return load_text(tmp_path, EVERY_KIND.replace("npoints: 3", "npoints: 18446744073709551615"))


def test_a_frozen_system_is_a_value_every_function_reads(tmp_path):
    g = small_system()
    frozen = vedovx.freeze(g)
    assert vedovx.freeze(frozen) is frozen
    assert frozen.counts == (44, 16, 9, 22, 44, 7, True)
    path = tmp_path / "system.yaml"
    g.save_yaml(str(path))
    assert frozen.document == path.read_text(encoding="utf-8")
    copy = pickle.loads(pickle.dumps(frozen))
    assert copy == frozen and hash(copy) == hash(frozen) and {copy: 1}[frozen] == 1
    thawed = frozen.thaw()
    assert type(thawed) is vedov.SystemGeom and thawed is not frozen.thaw()
    assert vedovx.freeze(thawed) == frozen
    with pytest.raises(AttributeError, match="cannot be changed"):
        frozen.document = ""
    g.add_cov_layer()  # the original changes, the frozen value does not
    assert vedovx.freeze(g) != frozen and frozen.counts.layers == 7
    assert same_bits(vedovx.covariance(frozen, "meas", "ts", lag=0.02),
                     vedovx.covariance(thawed, "meas", "ts", lag=0.02))
    assert vedovx.info(frozen) == vedovx.info(thawed)
    with pytest.raises(TypeError, match="a FrozenSystem cannot be changed"):
        vedovx.set_layers(frozen, [0.1], 20.0, 0.0, (0.0, 0.0))
    with pytest.raises(TypeError, match="system must be a vedov.SystemGeom or a vedovx.Frozen"):
        vedovx.info("system.yaml")


class _Pickled:
    """Pickles as FrozenSystem(*arguments): what a hand-made or altered pickle may hold."""

    def __init__(self, *arguments):
        self.arguments = arguments

    def __reduce__(self):
        return vedovx.FrozenSystem, self.arguments


class _Text(str):
    pass


def _frozen_refusals():
    frozen = vedovx.freeze(small_system())
    document, counts = frozen.document, frozen.counts
    return [
        ((_Text(document), counts), TypeError, "document must be a str, not _Text"),
        ((document, counts._replace(meas=10**9)), ValueError,
         f"counts.meas: 1000000000 entries cannot be held by a document of {len(document)}"),
        ((document, counts._replace(phi=-1)), ValueError, "counts.phi: -1 entries"),
        ((document, counts._replace(ts="9")), TypeError, "counts.ts must be an int, not str"),
        ((document, counts._replace(com=True)), TypeError, "counts.com must be an int, not bool"),
        ((document, counts._replace(layers=7.0)), TypeError, "counts.layers must be an int"),
        ((document, counts._replace(pupil=1)), TypeError, "counts.pupil must be a bool"),
        ((document, tuple(counts)[:-1]), ValueError, "counts must hold 7 values, not 6"),
        ((document, {"meas": 44}), ValueError, "counts must name meas, phi"),
        ((document, 44), TypeError, "counts must be a Counts, not int"),
    ]


@pytest.mark.parametrize("case", range(len(_frozen_refusals())))
@pytest.mark.parametrize("made", ["constructed", "unpickled"])
def test_frozen_counts_and_document_are_checked(case, made):
    arguments, error, text = _frozen_refusals()[case]
    make = {"constructed": lambda: vedovx.FrozenSystem(*arguments),
            "unpickled": lambda: pickle.loads(pickle.dumps(_Pickled(*arguments)))}[made]
    with pytest.raises(error, match=text.replace("(", r"\(")):
        make()


def test_frozen_pickles_of_earlier_versions_still_load():
    frozen = vedovx.freeze(small_system())
    earlier = pickle.loads(pickle.dumps(_Pickled(frozen.document, tuple(frozen.counts))))
    assert earlier == frozen and earlier.counts == frozen.counts


def test_a_process_parses_a_frozen_system_once():
    frozen = vedovx.freeze(small_system(nsubx=3))
    vedovx._frozen.THAWED.clear()
    for _ in range(3):
        vedovx.covariance(pickle.loads(pickle.dumps(frozen)), "meas", "meas")
    assert vedovx._frozen.THAWED.info()[:3] == (2, 1, 1)  # hits, misses, systems kept


def test_parsed_copies_are_bounded_in_bytes():
    frozen = [vedovx.freeze(small_system(nsubx=n)) for n in (2, 3, 4)]
    vedovx._frozen.THAWED.clear()
    limit = vedovx.thawed_cache().limit
    try:
        for system in frozen:
            vedovx.info(system)
        whole = vedovx.thawed_cache()
        assert (whole.kept, whole.misses) == (3, 3) and whole.nbytes > 3 * 44 * 64
        smaller = vedovx.thawed_cache(whole.nbytes - 1)  # the least recently used goes
        assert smaller.kept == 2 and smaller.nbytes < whole.nbytes
        assert vedovx.thawed_cache(0)[2:4] == (1, vedovx.thawed_cache().nbytes)  # the last stays
        vedovx.info(frozen[0])
        assert vedovx.thawed_cache()[1:3] == (4, 1)  # parsed again
    finally:
        vedovx.thawed_cache(limit)
    for bad, error in [(-1, ValueError), (1.5, TypeError), (True, TypeError)]:
        with pytest.raises(error, match="limit must be"):
            vedovx.thawed_cache(bad)


def test_a_parse_holds_no_lock_and_happens_once(monkeypatch):
    thawed = vedovx._frozen._Thawed()
    slow, fast = vedovx.freeze(small_system(nsubx=3)), vedovx.freeze(small_system(nsubx=2))
    entered, release, parsed = threading.Event(), threading.Event(), []
    load = vedovx._native.load_document

    def blocking(text):
        parsed.append(text)
        if text == slow.document:
            entered.set()
            release.wait()
        return load(text)

    monkeypatch.setattr(vedovx._native, "load_document", blocking)
    got = []
    readers = [threading.Thread(target=lambda: got.append(thawed.get(slow))) for _ in range(2)]
    readers[0].start()
    entered.wait()
    readers[1].start()
    # Another system is parsed and the cache read while the first parse is going on.
    other = threading.Thread(target=lambda: (thawed.get(fast), thawed.info()))
    other.start()
    other.join(timeout=30)
    finished = not other.is_alive()
    release.set()
    for reader in readers:
        reader.join()
    assert finished and got[0] is got[1]
    assert sorted(parsed) == sorted([slow.document, fast.document])


def test_a_fork_during_a_parse_leaves_the_child_a_cache_that_works():
    script = """
import os, signal, threading, vedov, vedovx
from vedovx import _frozen, _native
g = vedov.SystemGeom.new_empty()
g.add_cov_layer()
g.add_meas(8.0, 4, [(0.0, 0.0)], 90000.0, [(0.0, 0.0)], [0.0], [0.0])
frozen, entered, release = vedovx.freeze(g), threading.Event(), threading.Event()
load = _native.load_document
def blocking(text):
    if threading.current_thread() is not threading.main_thread():
        entered.set()
        release.wait()
    return load(text)
_native.load_document = blocking
threading.Thread(target=_frozen.THAWED.get, args=(frozen,), daemon=True).start()
entered.wait()
pid = os.fork()
if pid == 0:
    signal.alarm(30)  # a child that deadlocks is ended
    os._exit(0 if vedovx.info(frozen).meas == frozen.counts.meas else 1)
release.set()
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""
    run = subprocess.run([sys.executable, "-c", script], env=child_environment(),
                         capture_output=True, text=True, timeout=120)
    assert run.stdout == "0\n", run.stderr


def test_vedovx_alone_imports_no_dask():
    code = "import sys, vedov, vedovx; vedovx.freeze(vedov.SystemGeom.new_empty()).thaw(); " \
           "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))"
    run = subprocess.run([sys.executable, "-c", code], env=child_environment(), text=True,
                         capture_output=True, timeout=60, cwd=os.path.dirname(__file__))
    assert run.stdout.split() == ["[]"], run.stderr


def dask_equals_memory(system, chunks, scheduler="threads"):
    ours = vedovx.dask.recon_matrices(system, chunks=chunks)
    for field, array in zip(RECON, dask.compute(
            *[getattr(ours, f) for f in RECON], scheduler=scheduler)):
        assert same_bits(array, getattr(vedovx.recon_matrices(system), field)), field
    ours = vedovx.dask.system_matrices(system, chunks=chunks)
    for field, array in zip(SYSTEM, dask.compute(
            *[getattr(ours, f) for f in SYSTEM], scheduler=scheduler)):
        assert same_bits(array, getattr(vedovx.system_matrices(system), field)), field


@pytest.mark.parametrize("name", SYSTEMS)
@pytest.mark.parametrize("chunks", ["auto", 7, (5, 3)])
def test_dask_arrays_equal_the_in_memory_ones(tmp_path, name, chunks):
    dask_equals_memory(SYSTEMS[name](tmp_path), chunks)


def test_options_and_the_graph_holding_the_system_once():
    g = small_system()
    lagged = vedovx.dask.covariance(g, "ts", "meas", lag=0.37, chunks=4, dtype=np.float32)
    assert lagged.dtype == np.float32 and lagged.chunks[0] == (4, 4, 1)
    assert (lagged.compute(scheduler="sync") ==
            vedovx.covariance(g, "ts", "meas", lag=0.37, dtype=np.float32)).all()
    assert same_bits(vedovx.dask.interaction(g, "phi", chunks=(3, 5), threads=2).compute(
        scheduler="threads"),
                     vedovx.interaction(g, "phi"))
    assert same_bits(vedovx.dask.covariance(g, "meas", "phi", chunks=6, model="closed-form")
                     .compute(scheduler="threads"),
                     vedovx.covariance(g, "meas", "phi", model="closed-form"))
    recon = vedovx.dask.recon_matrices(g, chunks=5)
    graph = dict(HighLevelGraph.merge(*[getattr(recon, f).__dask_graph__() for f in RECON]))
    frozen = [v for v in graph.values() if isinstance(v, vedovx.FrozenSystem)]
    assert len(frozen) == 1 and frozen[0] == vedovx.freeze(g)
    assert sum(1 for k in graph if k != f"vedovx-system-{frozen[0].digest}") > 40
    # The frozen system's text is pickled once with the whole graph.
    assert pickle.dumps(graph).count(frozen[0].document[-300:].encode()) == 1


def test_bad_arguments_are_refused_naming_them():
    g = small_system()
    for call, error, text in [
        (lambda: vedovx.dask.covariance(g, "meas", "com"), ValueError, "cols must be one of"),
        (lambda: vedovx.dask.covariance(g, "meas", "meas", chunks=(1, 2, 3)), ValueError,
         "chunks: "),
        (lambda: vedovx.dask.interaction(g, "meas", dtype=np.int16), ValueError,
         "dtype must be float64 or float32"),
        (lambda: vedovx.dask.recon_matrices(g, threads=0), ValueError,
         "threads must be at least 1"),
        (lambda: vedovx.dask.interaction(g, "meas", threads=True), TypeError,
         "threads must be an int or None, not bool"),
        (lambda: vedovx.dask.covariance(g, "meas", "meas", lag=float("nan")), ValueError,
         "lag must be finite"),
        (lambda: vedovx.dask.covariance(g, "meas", "meas", lag="1"), TypeError,
         "lag must be a number, not str"),
        (lambda: vedovx.dask.covariance(g, "meas", "meas", chunks=0), ValueError,
         "chunks: block sizes must be positive"),
        (lambda: vedovx.dask.covariance(g, "meas", "meas", chunks=-5), ValueError,
         "chunks: block sizes must be positive"),
        (lambda: vedovx.dask.interaction(g, "meas", chunks=(64, -3)), ValueError,
         "chunks: block sizes must be positive .* not -3"),
        (lambda: vedovx.dask.system_matrices(g, chunks=((1, 43), (0, 16))), ValueError,
         "chunks: block sizes must be positive"),
        (lambda: vedovx.dask.system_matrices(g, model="kolmogorov"), ValueError,
         "model must be one of"),
        (lambda: vedovx.dask.covariance(None, "meas", "meas"), TypeError,
         "system must be a vedov.SystemGeom or"),
    ]:
        with pytest.raises(error, match=text):
            call()


def test_threads_per_block_in_this_process():
    assert vedovx.dask.block_threads() is None  # the synchronous scheduler: vedov's pool
    seen = []
    worker = threading.Thread(target=lambda: seen.append(vedovx.dask.block_threads()))
    worker.start()
    worker.join()
    assert seen == [1]  # a thread of Dask's local pool, which runs one block per CPU


def test_a_panicking_block_raises_vedovs_panic_in_this_process(tmp_path):
    array = vedovx.dask.covariance(panicking_system(tmp_path), "meas", "meas", chunks=2)
    with pytest.raises(BaseException) as info:
        array.compute(scheduler="threads")
    assert type(info.value) is vedovx.PanicException
    assert "capacity overflow" in str(info.value)


# -- a LocalCluster of two worker processes with one thread each, shared by the tests below ----


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster, set_as_default=False) as connected:
            yield connected


def _granted_threads(granted):
    """block_threads() in a task, with OMP_NUM_THREADS set to `granted` (None: as it is)."""
    kept = os.environ.get("OMP_NUM_THREADS")
    if granted is not None:
        os.environ["OMP_NUM_THREADS"] = granted
    try:
        return vedovx.dask.block_threads()
    finally:
        os.environ.pop("OMP_NUM_THREADS", None)
        if kept is not None:
            os.environ["OMP_NUM_THREADS"] = kept


@pytest.mark.wheel
@pytest.mark.python_layer
def test_cluster_blocks_equal_the_in_memory_arrays(tmp_path, client):
    for name in ("lgs", "every kind, no pupil"):
        dask_equals_memory(SYSTEMS[name](tmp_path), (6, 4), scheduler=client)
    frozen = vedovx.freeze(SYSTEMS["lgs"](tmp_path))
    # Each worker parsed the system at most once, and a block uses its worker's one thread.
    parsed = client.run(lambda: vedovx._frozen.THAWED.info().misses)
    assert set(parsed.values()) <= {1, 2}  # the two systems above
    # A task gets what its worker's environment grants (distributed.nanny.pre-spawn-environ).
    assert client.submit(_granted_threads, None, pure=False).result() == 1
    assert client.submit(_granted_threads, "3", pure=False).result() == 3
    assert client.submit(lambda f: vedovx.info(f).meas, frozen).result() == frozen.counts.meas


@pytest.mark.python_layer
def test_cluster_failures_arrive_as_they_were_raised(tmp_path, client):
    # vedov's panic, as an Exception too: the distributed client hangs on any other kind.
    with pytest.raises(vedovx.PanicException, match="capacity overflow") as info:
        vedovx.dask.covariance(panicking_system(tmp_path), "meas", "meas",
                               chunks=2).compute(scheduler=client)
    assert type(info.value) is vedovx.dask.WorkerPanic and isinstance(info.value, Exception)
    # A frozen value whose counts overstate its document: refused in the worker with a
    # ValueError, unchanged.
    frozen = vedovx.freeze(small_system())
    wrong = vedovx.FrozenSystem(frozen.document, frozen.counts._replace(meas=50))
    with pytest.raises(ValueError, match="states Counts.meas=50.*but its document holds"):
        vedovx.dask.covariance(wrong, "meas", "meas", chunks=10).compute(scheduler=client)


@pytest.mark.python_layer
def test_a_worker_killed_mid_run_loses_nothing(client):
    distributed = pytest.importorskip("distributed")
    g = vedov.SystemGeom.new_empty()
    g.add_cov_layer()
    g.add_meas(8.0, 20, [(0.0, 0.0), (10.0, 0.0)], 90000.0, [(0.0, 0.0)] * 2, [0.0] * 2, [0.0] * 2)
    array = client.persist(vedovx.dask.covariance(g, "meas", "meas", chunks=200))
    blocks = distributed.futures_of(array)
    while not any(block.done() for block in blocks):
        time.sleep(0.01)
    pids = client.run(os.getpid)
    busy = [address for address, keys in client.processing().items() if keys] or list(pids)
    os.kill(pids[busy[0]], signal.SIGKILL)
    assert sum(block.done() for block in blocks) < len(blocks)  # killed in the middle
    assert same_bits(client.compute(array).result(), vedovx.covariance(g, "meas", "meas"))
    client.wait_for_workers(2, timeout=60)  # the nanny restarted it
