"""vedovx beside vedov: access rules, the lock released, Ctrl-C, progress, and a pair that belongs
together."""

import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import vedov
import vedovx
from conftest import Hook, child_environment

SLOW_SYSTEM = """
import vedov
g = vedov.SystemGeom.new_empty()
g.add_cov_layer()
g.add_meas(8.0, 40, [(-15.0, -15.0), (15.0, 15.0)], 90000.0, [(0.0, 0.0)] * 2, [0.0] * 2,
           [0.0] * 2)
"""


def slow_system():
    scope = {}
    exec(SLOW_SYSTEM, scope)  # 6,400 slopes: a covariance of several seconds on two cores
    return scope["g"]


def run_child(code, timeout=120):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=timeout, env=child_environment(),
                            cwd=os.path.dirname(__file__))
    assert result.returncode == 0, result.stderr
    return result.stdout


def import_error(first_path):
    """The ImportError text of importing vedovx in a child with first_path first on its path."""
    return run_child(f"""
import sys
sys.path.insert(0, {str(first_path)!r})
try:
    import vedovx
except ImportError as error:
    print(error)
""")


def test_vedov_mutations_are_refused_while_vedovx_reads_and_other_threads_run():
    g = slow_system()
    started, done, refusals, ticks, reports, added = (threading.Event(), threading.Event(), [], [],
                                                      [], [])

    def report(done, total):
        reports.append(time.monotonic())
        started.set()

    def evaluate():
        vedovx.covariance(g, "meas", "meas", rows_index=slice(0, 2000), progress=report)
        done.set()

    worker = threading.Thread(target=evaluate)
    worker.start()
    started.wait()  # the first report comes from inside the evaluation
    while not done.is_set():  # this thread runs while the other evaluates
        ticks.append(time.monotonic())
        try:
            g.add_cov_layer()
            added.append(time.monotonic())
        except RuntimeError as error:
            refusals.append(str(error))
        time.sleep(0.005)
    worker.join()
    assert len(ticks) > 5 and refusals and set(refusals) == {"Already borrowed"}
    # A change may slip in between the call's return and done.set(), never before its last report.
    assert all(when > reports[-1] for when in added)
    assert len(vedovx.info(g).layers) == 7 * (1 + len(added))
    g.add_cov_layer()  # and nothing holds it afterwards


def test_a_system_being_changed_is_refused_with_vedovs_text():
    g = vedov.SystemGeom.new_empty()
    seen = []

    def read_during_change():
        try:
            vedovx.covariance(g, "meas", "meas")
        except RuntimeError as error:
            seen.append(str(error))

    g.set_dt(Hook(0.1, read_during_change), 0.2)
    assert seen == ["Already mutably borrowed"]


@pytest.mark.wheel
def test_ctrl_c_stops_an_evaluation_quickly_and_the_next_call_works():
    out = run_child(SLOW_SYSTEM + """
import os, signal, threading, time
import vedovx
# Ctrl-C works even where the test command was started with SIGINT ignored (in the background).
signal.signal(signal.SIGINT, signal.default_int_handler)
sent = []
def interrupt():
    time.sleep(0.5)
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt).start()
try:
    vedovx.covariance(g, "meas", "meas", progress=lambda done, total: None)
    print("finished")
except KeyboardInterrupt:
    print("stopped after", time.monotonic() - sent[0])
busy = time.process_time()
time.sleep(0.3)
print("cpu while idle", time.process_time() - busy)
print("next", vedovx.covariance(g, "meas", "meas", rows_index=[0, 1]).shape[1])
""")
    lines = dict(line.rsplit(" ", 1) for line in out.splitlines())
    assert float(lines["stopped after"]) < 0.2
    assert float(lines["cpu while idle"]) < 0.05  # no worker keeps running
    assert lines["next"] == "6400"


def test_progress_reports_and_bars(capfd, monkeypatch):
    g = slow_system()
    seen = []
    vedovx.recon_matrices(g, progress=lambda done, total: seen.append((done, total)))
    # Terms summed: 6,400 slopes of two lines each, seven layers; no actuators, no truth sensor.
    assert seen[-1] == ((2 * 6400) ** 2 * 7,) * 2 and seen == sorted(seen)
    vedovx.projection(g, "meas_lines", progress=True)
    assert "100%" in capfd.readouterr().err
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)  # without tqdm: a plain bar
    vedovx.projection(g, "meas_lines", progress=True)
    assert "6400/6400 rows" in capfd.readouterr().err
    vedovx.system_matrices(vedovx.new_system(teldiam=8.0, cobs=0.1, coupling=0.3, nactux=3,
                                             pitch=4.0, nsubx=2, nphisamples=2, wfs_dirs=[(0, 0)]),
                           progress=True)
    assert "term" in capfd.readouterr().err

    def fail(done, total):
        raise ZeroDivisionError("from the callback")

    with pytest.raises(ZeroDivisionError):
        vedovx.covariance(g, "meas", "meas", progress=fail)


def test_product_sets_report_progress_as_the_time_goes():
    """The share done follows the processor time taken (one thread), within 0.2 at every report,
    though the truth sensor's rows cost a few times less than the slopes' and the actuators' far
    less: progress counts the terms each matrix sums."""
    g = vedovx.new_system(teldiam=8.0, cobs=0.14, coupling=0.3, nactux=17, pitch=0.5, nsubx=16,
                          nphisamples=16, ntssamples=24, ts_dirs=[(0.0, 0.0)],
                          wfs_dirs=vedovx.asterism(4, 15.0, 90000.0))
    for evaluate in (vedovx.recon_matrices, vedovx.system_matrices):
        seen = []
        start = time.process_time()
        evaluate(g, threads=1, model="closed-form",
                 progress=lambda done, total: seen.append((time.process_time(), done / total)))
        spent = time.process_time() - start
        assert seen[-1][1] == 1.0
        assert max(abs(share - (at - start) / spent) for at, share in seen) < 0.2, evaluate


@pytest.mark.wheel
def test_vedov_alone_and_its_surface_unchanged_by_vedovx():
    out = run_child("""
import sys
import vedov
def surface():
    return [sorted(dir(vedov)), vedov.__all__] + [
        sorted(vars(getattr(vedov, name))) for name in vedov.__all__]
before = surface()
print("alone", "numpy" in sys.modules or "vedovx" in sys.modules)
import vedovx
print("same", surface() == before)
""")
    assert out.split() == ["alone", "False", "same", "True"]


@pytest.mark.wheel
def test_a_vedovx_of_another_build_is_refused_at_import(tmp_path):
    # The same package, its compiled part carrying another build's identity.
    package = tmp_path / "vedovx"
    shutil.copytree(os.path.dirname(vedovx.__file__), package)
    identity = vedovx._native.build_id().encode()
    for compiled in package.glob("_native*.so"):
        data = compiled.read_bytes()
        assert identity in data
        compiled.write_bytes(data.replace(identity, b"0" * len(identity)))
    assert "vedovx was built with another vedov than the one loaded" in import_error(tmp_path)
    # A vedov module that is not the one vedovx's runtime made.
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "vedov.py").write_text("class SystemGeom:\n    pass\n")
    assert "its SystemGeom is not vedov.SystemGeom" in import_error(fake)


def test_unused_vedovx_leaves_no_hold():
    g = vedov.SystemGeom.new_empty()
    with pytest.raises(ValueError):
        vedovx.covariance(g, "meas", "meas", out=np.empty((1, 1)))
    g.add_cov_layer()  # a refused call released the system


def test_a_daemon_thread_inside_an_evaluation_lets_the_interpreter_exit():
    # The interpreter ends a daemon thread that takes its lock back during finalization; the
    # thread's unwind must pass through the evaluation (no abort, no core).
    run_child(SLOW_SYSTEM + """
import threading, time, vedovx
started = threading.Event()
def evaluate():
    started.set()
    vedovx.covariance(g, "meas", "meas")
threading.Thread(target=evaluate, daemon=True).start()
started.wait()
time.sleep(0.3)
""")


def test_a_release_during_an_evaluation_leaves_it_its_system():
    # The evaluation's hold owns a reference: releasing the only other one (from another thread,
    # while the evaluation runs without the lock) frees nothing it reads. An interaction matrix
    # reads the system's actuators in place to its last row.
    from vedovx import _matrices, _native

    def system():
        g = slow_system()
        g.add_com(0.2, 41, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0)
        return g

    reference = vedovx.interaction(system(), "meas", rows_index=slice(0, 2000))
    held = _native.borrow(system())  # no other reference to the system
    call = _matrices._prepare(held, "interaction", "meas", None, rows_index=slice(0, 2000))
    evaluation = threading.Thread(target=call.run, args=(held, 0, None, 0, call.rows_count))
    evaluation.start()
    time.sleep(0.1)
    held.release()
    evaluation.join()
    assert (call.array.view(np.uint64) == reference.view(np.uint64)).all()
