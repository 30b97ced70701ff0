"""Hostile and absurd input: documents, counts, non-finite numbers and lying objects."""

import copy
import math
import subprocess
import sys
import textwrap

import pytest

import vedov
from conftest import (ADDRESS_SANITIZED, Iterated, bits, child_environment, com_count,
                      needs_failing_allocations)
from document_helpers import EMPTY_HEAD, EMPTY_TAIL, load_text, saved_text

np = pytest.importorskip("numpy")
import ieee  # noqa: E402  (needs numpy)
import records  # noqa: E402

SystemGeom, SystemMatrices, ReconMatrices = vedov.SystemGeom, vedov.SystemMatrices, vedov.ReconMatrices
NAN, INF = math.nan, math.inf


# ---- documents that try to exhaust time or memory, each read by a fresh interpreter -------------

PROBE = textwrap.dedent("""
    import sys, time, vedov
    def peak():  # bytes; unlike ru_maxrss this high-water mark starts afresh with the program
        with open("/proc/self/status") as status:
            line = next(line for line in status if line.startswith("VmHWM:"))
        return int(line.split()[1]) * 1024
    before = peak()
    start = time.perf_counter()
    try:
        vedov.SystemGeom.load_yaml(sys.argv[1])
        outcome = "loaded"
    except BaseException as error:
        outcome = str(error)
    took = time.perf_counter() - start
    print(took, peak() - before, outcome, sep="\\n")
""")


def probe(tmp_path, text):
    """(seconds, bytes of peak memory growth, outcome) of loading `text` in a new interpreter."""
    path = tmp_path / "hostile.yaml"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    done = subprocess.run([sys.executable, "-c", PROBE, str(path)], capture_output=True,
                          text=True, timeout=120, env=child_environment())
    assert done.returncode == 0, done.stderr[-2000:]
    took, grown, outcome = done.stdout.split("\n", 2)
    return float(took), int(grown), outcome.strip()


def laughs(levels, width, open_="[", close="]", item="lol"):
    text = f"a0: &a0 {open_}" + ", ".join([item] * width) + f"{close}\n"
    for level in range(1, levels):
        text += (f"a{level}: &a{level} {open_}" + ", ".join([f"*a{level - 1}"] * width) +
                 f"{close}\n")
    return text


def merge_bomb(levels=12, width=8):
    """Mappings each merging the one before several times over."""
    text = "m0: &m0 {r0: 1, l0: 2}\n"
    for level in range(1, levels):
        sources = ", ".join([f"*m{level - 1}"] * width)
        text += f"m{level}: &m{level} {{<<: [{sources}], k{level}: 0}}\n"
    return text


MiB = 1024 * 1024

HOSTILE_DOCUMENTS = [
    ("alias bomb", laughs(10, 10), "repetition limit exceeded"),
    ("skipped alias bomb", laughs(10, 10) + EMPTY_HEAD + EMPTY_TAIL, "repetition limit exceeded"),
    ("mapping bomb", laughs(9, 10, "{", "}", "k: v").replace("*a", "? *a"),
     "repetition limit exceeded"),
    ("merge bomb", merge_bomb(), "repetition limit exceeded"),
    # just within the expansion bound: the reader walks millions of merged mappings
    ("merge chain read", merge_bomb(levels=7) + EMPTY_HEAD.replace("cov_model: []",
                                                                   "cov_model: [*m6]") + EMPTY_TAIL,
     "cov_model[0]: missing field `alt`"),
    ("deep flow", "a: " + "[" * 1_000_000, "recursion limit exceeded"),
    ("deep flow mappings", "{a: " * 200_000, "recursion limit exceeded"),
    ("deep block mappings", "".join(" " * k + "a:\n" for k in range(3000)),
     "recursion limit exceeded"),
    ("deep block sequences", "- " * 200_000 + "x\n", "recursion limit exceeded"),
    ("self reference", "a: &a [*a]\n", "recursion limit exceeded"),
    ("alias as deep as allowed, many times", "d: &d " + "[" * 100 + "]" * 100 + "\nx: [" +
     ", ".join(["*d"] * 100_000) + "]\n", "missing field `meas`"),
    ("a million aliases", "s: &s x\nl: [" + ", ".join(["*s"] * 1_000_000) + "]\n",
     "missing field `meas`"),
    ("a hundred thousand tags", "l: [" + ", ".join(f"!t{k} x" for k in range(100_000)) + "]\n",
     "missing field `meas`"),
    ("a 16 MiB scalar", "junk: " + "x" * (16 * MiB) + "\n" + EMPTY_HEAD + EMPTY_TAIL, "loaded"),
    ("a 16 MiB key", "? " + "x" * (16 * MiB) + "\n: 1\n", "missing field `meas`"),
    ("NUL bytes", b"\0" * MiB, "control characters are not allowed"),
    ("binary junk", bytes(range(256)) * 4096, "stream did not contain valid UTF-8"),
    ("unclosed everything", "[{'\"" * 100_000, "problem: "),
]


@pytest.mark.parametrize("name, text, outcome", HOSTILE_DOCUMENTS,
                         ids=[case[0] for case in HOSTILE_DOCUMENTS])
def test_hostile_documents_cost_little(tmp_path, name, text, outcome):
    took, grown, got = probe(tmp_path, text)
    assert outcome in got, got[:300]
    if ADDRESS_SANITIZED:
        return  # its shadow memory and quarantine make both figures meaningless
    assert took < 1.0, took
    # The text itself is in memory once; beyond that, a modest multiple at most.
    assert grown < 64 * MiB + 4 * len(text), grown


# ---- counts and grids beyond any memory, from arguments and from documents -----------------------

HUGE_CALLS = [
    lambda s: s.add_phi(8.0, 2**32),
    lambda s: s.add_phi(8.0, 2**64 - 1),
    lambda s: s.add_ts(8.0, 2**33, [(0.0, 0.0)] * 5),
    lambda s: s.add_meas(8.0, 2**40, [(0.0, 0.0)], INF, [(0.0, 0.0)], [0.0], [0.0]),
    # A count that fits a word, but not once multiplied by the sensors.
    lambda s: s.add_meas(8.0, 2**31, [(0.0, 0.0)] * 3, INF, [(0.0, 0.0)] * 3, [0.0] * 3, [0.0] * 3),
    lambda s: s.add_com(0.5, 2**63, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0),
    lambda s: SystemGeom.new(8.0, 0.1, 0.3, 2**32, 0.0, 0.5, 2, 2, 2, [(0.0, 0.0)], [(0.0, 0.0)],
                             (0.0, 0.0), [(0.0, 0.0)], 0.0, [0.0], 0.0, [0.0], INF, 1.0),
    lambda s: s.reorder_com([2**64 - 1]),
    lambda s: s.imat_sparse([(2**64 - 1, 2**64 - 1)]),
    pytest.param(lambda s: s.add_com(0.5, 2**26, (0.0, 0.0), 0.0, 0.3, 0.0, 0.0, 1.0),
                 marks=needs_failing_allocations),
]


@pytest.mark.parametrize("call", HUGE_CALLS)
def test_huge_counts_fail_and_change_nothing(tmp_path, call):
    s = records_system(tmp_path)
    before = saved_text(s, tmp_path)
    with pytest.raises(BaseException) as info:
        call(s)
    if type(info.value) is not MemoryError:
        assert type(info.value).__name__ == "PanicException"
        assert str(info.value) == "capacity overflow" or str(info.value).startswith(
            "index out of bounds")
    assert saved_text(s, tmp_path) == before
    s.add_ttdm(1.0)  # released: still editable


EDGE = ("!SlopeTwoEdge {{central_line: {{x0: 0, xz: 0, y0: 0, yz: 0}}, edge_length: 1, "
        "edge_separation: 1, gradient_axis: {{x: 0, y: 1}}, npoints: {}, altitude: .inf}}")


@pytest.mark.parametrize("npoints, memory", [(2**63, False), (2**62, False), (2**42, True)])
@pytest.mark.parametrize("product", ["imat", "imat_sparse", "system", "recon"])
def test_measurements_of_absurd_size_fail_every_product(tmp_path, npoints, memory, product):
    if memory and ADDRESS_SANITIZED:
        pytest.skip("the address sanitizer aborts where an allocation would fail")
    text = EMPTY_HEAD.replace("meas: []", f"meas: [{EDGE.format(npoints)}]").replace(
        "cov_model: []", "cov_model: [{r0: 0.2, l0: 30, alt: 0, v: {x: 1, y: 0}}]").replace(
        "com: []", "com: [!TipTilt {unit_response: {x: 1, y: 0}}]") + EMPTY_TAIL
    s = load_text(tmp_path, text)
    before = saved_text(s, tmp_path)
    run = {"imat": s.imat, "imat_sparse": lambda: s.imat_sparse([(0, 0)]),
           "system": lambda: SystemMatrices.new(s), "recon": lambda: ReconMatrices.new(s)}[product]
    with pytest.raises(BaseException) as info:
        run()
    if memory:
        assert type(info.value) is MemoryError
    else:
        assert type(info.value).__name__ == "PanicException"
        assert str(info.value) == "capacity overflow"
    assert saved_text(s, tmp_path) == before


# ---- NaN, infinities, zero and negative sizes: IEEE results, element by element ----------------

BASE = {
    "meas": [
        {"kind": "Phase", "line": {"x0": 0.3, "xz": 1e-5, "y0": -0.2, "yz": 0.0}},
        {"kind": "SlopeTwoLine", "line_pos": {"x0": 0.5, "xz": 2e-5, "y0": 0.1, "yz": 0.0},
         "line_neg": {"x0": -0.25, "xz": 0.0, "y0": 0.1, "yz": -1e-5}},
        {"kind": "SlopeTwoEdge", "central_line": {"x0": 0.7, "xz": 3e-5, "y0": -1.1, "yz": 0.0},
         "edge_length": 0.5, "edge_separation": 0.45, "gradient_axis": {"x": 0.6, "y": 0.8},
         "npoints": 2, "altitude": 90000.0},
        {"kind": "SlopeTwoEdge", "central_line": {"x0": -0.7, "xz": 0.0, "y0": 1.1, "yz": 0.0},
         "edge_length": 0.5, "edge_separation": 0.5, "gradient_axis": {"x": 0.0, "y": 1.0},
         "npoints": 1, "altitude": INF},
    ] * 2,  # eight columns: the covariance kernel's vector blocks take part
    "phi": [],
    "ts": [{"kind": "Phase", "line": {"x0": 0.0, "xz": 7e-5, "y0": 0.5, "yz": 0.0}}],
    "com": [
        {"kind": "Gaussian", "sigma": 0.4, "position": {"x": 0.5, "y": -0.5, "z": 4000.0},
         "microns_per_volt": 0.8},
        {"kind": "TipTilt", "unit_response": {"x": -0.0, "y": 2.0}},
    ],
    "cov_model": [
        {"r0": 0.2, "l0": 30.0, "alt": 0.0, "v": {"x": 10.0, "y": -3.0}},
        {"r0": 0.5, "l0": 25.0, "alt": 8000.0, "v": {"x": -4.0, "y": 12.0}},
    ],
    "pupil": {"rad_outer": 1.2, "rad_inner": 0.2, "spider_thickness": 0.1,
              "spiders": [[{"x": 0.0, "y": 0.0}, {"x": 1.2, "y": 0.3}]]},
    "meas_lines": [{"x0": 0.5, "xz": 0.0, "y0": 0.1, "yz": 0.0},
                   {"x0": -0.35, "xz": 1.0, "y0": 0.95, "yz": 0.0}],
    "simul_dt": 0.0,
    "meas_dt": 0.05,
}


def yaml_number(value):
    if isinstance(value, int):
        return str(value)
    if math.isnan(value):
        return ".nan"
    if math.isinf(value):
        return ".inf" if value > 0 else "-.inf"
    return repr(value)


def yaml_text(value):
    """Flow-style document text of a record, variants tagged with their kind."""
    if isinstance(value, dict):
        fields = ", ".join(f"{k}: {yaml_text(v)}" for k, v in value.items() if k != "kind")
        if "kind" in value:
            return f"!{value['kind']} {{{fields}}}"
        return f"{{{fields}}}"
    if isinstance(value, list):
        return "[" + ", ".join(yaml_text(v) for v in value) + "]"
    return yaml_number(value)


def records_system(tmp_path, doc=BASE):
    return load_text(tmp_path, yaml_text(doc) + "\n", "records.yaml")


def with_value(path, value):
    """BASE with the number at `path` ("meas.2.edge_separation") replaced in every copy."""
    doc = copy.deepcopy(BASE)
    *parents, last = path.split(".")
    node = doc
    for key in parents:
        node = node[int(key)] if key.isdigit() else node[key]
    node[last] = value
    return doc


def same(got, expected):
    """Bit for bit, except that any NaN equals any other: which operand's NaN an operation passes
    on is left open by IEEE 754 (and compilers may swap the operands of a sum), and a document
    writes every NaN as .nan."""
    if math.isnan(expected):
        return math.isnan(got)
    return bits(got) == bits(expected)


def expect_model(system, tmp_path, doc=None):
    """Every element of both products and pmeas equals the IEEE model's, computed from `doc` (the
    system's exact records), or from the records read back through the system's document."""
    doc = ieee.record(doc if doc is not None else records.read(system, tmp_path))
    r, m = ReconMatrices.new(system), SystemMatrices.new(system)
    layers, pupil = doc["cov_model"], doc["pupil"]
    with ieee.model() as model:
        def check(matrix, rows, cols, element):
            assert len(matrix) == len(rows)
            for i, row in enumerate(rows):
                assert len(matrix[i]) == len(cols)
                for j, col in enumerate(cols):
                    assert same(matrix[i][j], float(element(row, col))), (i, j)

        def check_list(got, expected):
            assert len(got) == len(expected)
            assert all(same(g, float(e)) for g, e in zip(got, expected)), (got, expected)

        zero = np.float64(0.0)

        def covariance(lag):
            return lambda a, b: model.cosample(a, b, layers, lag)

        def response(a, b):
            return model.sample(a, b, model.sample_actuator)

        for matrix, rows, cols, element in [
            (r.c_meas_meas, doc["meas"], doc["meas"], covariance(zero)),
            (r.c_ts_meas, doc["ts"], doc["meas"], covariance(doc["meas_dt"])),
            (r.d_meas_com, doc["meas"], doc["com"], response),
            (m.c_phi_phi, doc["phi"], doc["phi"], covariance(zero)),
            (m.c_phip1_phi, doc["phi"], doc["phi"], covariance(doc["simul_dt"])),
            (m.d_phi_com, doc["phi"], doc["com"], response),
        ]:
            check(matrix, rows, cols, element)
        if pupil is not None:
            check_list(system.pmeas(),
                       [model.sample_pupil(pupil, line) for line in doc["meas_lines"]])
            check_list(m.p_phi, [model.sample(p, pupil, model.sample_pupil) for p in doc["phi"]])


ODD_VALUES = [NAN, INF, -INF, 0.0, -0.0, -1.5, 1e308, 5e-324]
ODD_FIELDS = [
    "cov_model.0.r0", "cov_model.0.l0", "cov_model.1.alt", "cov_model.1.v.x", "meas_dt",
    "meas.0.line.xz", "meas.1.line_neg.x0", "meas.2.edge_separation", "meas.2.edge_length",
    "meas.2.altitude", "meas.2.gradient_axis.y", "meas.3.central_line.x0", "com.0.sigma",
    "com.0.position.z", "com.0.microns_per_volt", "com.1.unit_response.x", "pupil.rad_outer",
    "pupil.rad_inner", "pupil.spider_thickness", "pupil.spiders.0.1.x", "meas_lines.1.y0",
]


@pytest.mark.parametrize("field", ODD_FIELDS)
def test_odd_numbers_in_documents_give_ieee_results(tmp_path, field):
    for value in ODD_VALUES:
        doc = with_value(field, value)
        expect_model(records_system(tmp_path, doc), tmp_path, doc)


def test_degenerate_shapes_give_ieee_results(tmp_path):
    zero_spider = with_value("pupil.spiders.0.1.x", 0.0)
    zero_spider["pupil"]["spiders"][0][1]["y"] = 0.0  # both ends at one point
    no_edge_points = with_value("meas.2.npoints", 0)  # an empty bundle: every sum is -0.0
    for doc in (zero_spider, no_edge_points):
        expect_model(records_system(tmp_path, doc), tmp_path, doc)


BUILD = dict(teldiam=4.0, cobs=0.2, coupling=0.3, nactux=3, dmalt=1000.0, pitch=1.5, nsubx=2,
             ntssamples=2, nphisamples=2, wfs_dirs=[(5.0, -5.0)], ts_dirs=[(1.0, 2.0)],
             dm_delta=(0.1, 0.0), wfs_delta=[(0.0, 0.1)], dm_clocking=0.1, wfs_clocking=[0.2],
             dm_zoom=0.01, wfs_zoom=[0.02], gsalt=90000.0, microns_per_volt=1.0)
BUILD_FLOATS = ["teldiam", "cobs", "coupling", "dmalt", "pitch", "dm_clocking", "dm_zoom",
                "gsalt", "microns_per_volt"]


@pytest.mark.parametrize("name", BUILD_FLOATS + ["wfs_dirs", "ts_dirs", "dm_delta", "wfs_delta",
                                                 "wfs_clocking", "wfs_zoom"])
def test_odd_numbers_given_to_the_builders_give_ieee_results(tmp_path, name):
    for value in ODD_VALUES + [1.0, -1.0]:  # coupling 1 and zoom -1 are degenerate too
        if name in BUILD_FLOATS:
            odd = value
        elif name == "dm_delta":
            odd = (value, value)
        elif name in ("wfs_clocking", "wfs_zoom"):
            odd = [value]
        else:
            odd = [(value, -value)]
        s = SystemGeom.new(**dict(BUILD, **{name: odd}))
        s.set_dt(value, value)
        expect_model(s, tmp_path)


@pytest.mark.parametrize("counts", [dict(nactux=0), dict(nsubx=0), dict(nphisamples=0),
                                    dict(ntssamples=0), dict(nactux=1, nsubx=1, nphisamples=1,
                                                             ntssamples=1)])
def test_empty_and_single_point_grids(tmp_path, counts):
    s = SystemGeom.new(**dict(BUILD, **counts))
    s.add_ttdm(0.0)
    expect_model(s, tmp_path)


# ---- objects that raise, lie about their length or change what is being converted ---------------

class Raising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    def __index__(self):
        raise self.error


class LyingLength(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class ByIndex:
    """A sequence known only by __getitem__ and __len__, which may disagree."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        return self.items[index]


class RaisingIterator(list):
    def __iter__(self):
        yield from list.__iter__(self)
        raise KeyError("iteration broke off")


class Shrinking:
    """A number whose conversion empties the list it is converted from."""

    def __init__(self, container):
        self.container = container

    def __index__(self):
        self.container.clear()
        return 0

    __float__ = lambda self: float(self.__index__())  # noqa: E731


class Growing:
    """A number whose conversion appends another one to its list, `left` times."""

    def __init__(self, container, left):
        self.container, self.left = container, left

    def __index__(self):
        if self.left:
            self.container.append(Growing(self.container, self.left - 1))
        return 0


def two_actuators():
    s = SystemGeom.new_empty()
    s.add_ttdm(1.0)
    return s


def shrinking_order():
    order = [0, 1, 1]
    order.insert(1, Shrinking(order))
    return order


def growing_order():
    order = []
    order.append(Growing(order, 4))
    return order


# (call on a system with two actuators, the error or None, the actuators left afterwards)
LIARS = [
    (lambda s: s.add_ttdm(Raising(ValueError("no"))), ValueError, 2),
    (lambda s: s.add_ttdm(Raising(TypeError("no"))), TypeError, 2),
    (lambda s: s.add_ttdm(Raising(KeyboardInterrupt())), KeyboardInterrupt, 2),
    (lambda s: s.reorder_com([Raising(OverflowError("no"))]), OverflowError, 2),
    (lambda s: s.reorder_com([Raising(RecursionError("no"))]), RecursionError, 2),
    (lambda s: s.reorder_com(LyingLength([1, 0], 10**18)), None, 2),
    (lambda s: s.reorder_com(LyingLength([1, 0, 1], 0)), None, 3),
    (lambda s: s.reorder_com(LyingLength([1], -1)), None, 1),
    (lambda s: s.reorder_com(LyingLength([0, 0], ValueError("no length"))), None, 2),
    (lambda s: s.reorder_com(LyingLength([0], MemoryError())), None, 1),
    (lambda s: s.reorder_com(ByIndex([1, 0, 1, 0], 2)), None, 4),
    (lambda s: s.reorder_com(ByIndex([1, 0], 10**9)), None, 2),
    (lambda s: s.reorder_com(RaisingIterator([0, 1])), KeyError, 2),
    (lambda s: s.reorder_com(Iterated([0], lambda: (_ for _ in ()).throw(TypeError("x")))),
     TypeError, 2),
    (lambda s: s.reorder_com(shrinking_order()), None, 2),
    (lambda s: s.reorder_com(growing_order()), None, 5),
    (lambda s: s.filter_com(LyingLength([True, False], 1)), None, 1),
    (lambda s: s.imat_sparse(ByIndex([], 5)), None, 2),
    (lambda s: s.add_ts(1.0, 1, ByIndex([(Raising(ValueError("no")), 0.0)], 1)), ValueError, 2),
]


@pytest.mark.parametrize("call, error, left", LIARS)
def test_lying_objects(call, error, left):
    s = two_actuators()
    if error is None:
        call(s)
    else:
        with pytest.raises(error):
            call(s)
    assert com_count(s) == left
    s.add_ttdm(1.0)  # the system is free again
    assert com_count(s) == left + 2


def test_recursion_through_conversions_unwinds_cleanly():
    systems = []

    class Deeper:
        def __float__(self):
            inner = SystemGeom.new_empty()
            systems.append(inner)
            inner.add_ttdm(Deeper())
            return 1.0

    with pytest.raises(RecursionError):
        SystemGeom.new_empty().add_ttdm(Deeper())
    assert systems
    for inner in systems:  # every one of them unchanged and free
        assert com_count(inner) == 0
        inner.add_ttdm(1.0)


MISUSES = [
    lambda s, m: SystemGeom.imat(m),
    lambda s, m: SystemGeom.add_ttdm(None, 1.0),
    lambda s, m: SystemMatrices.c_phi_phi.__get__(s),
    lambda s, m: ReconMatrices.c_ts_meas.__get__(m),
    lambda s, m: SystemMatrices.p_meas.__set__(m, []),
    lambda s, m: object.__new__(SystemGeom),
    lambda s, m: SystemGeom.__new__(SystemGeom),
    lambda s, m: copy.copy(s),
    lambda s, m: copy.deepcopy(m),
]


@pytest.mark.parametrize("misuse", MISUSES)
def test_methods_and_fields_on_the_wrong_object_are_refused(misuse):
    s = two_actuators()
    m = SystemMatrices.new(s)
    with pytest.raises((TypeError, AttributeError)):
        misuse(s, m)
    assert com_count(s) == 2 and m.p_meas == []

