"""register(): call shape, order of checks, messages, method and init parsing, defaults
and concurrency."""

import inspect
import itertools
import threading
import time
import unicodedata

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarvo import _tarvo
from raising import notes, raised

RNG = np.random.default_rng(11)
SOURCE = RNG.random((30, 3))
TARGET = SOURCE + [0.1, -0.2, 0.05]
NORMALS = np.tile([0.0, 0.0, 1.0], (30, 1))
EXPECTED_METHODS = '"icp", "fast_icp", "robust_icp", "point_to_plane", "robust_point_to_plane"'
INIT_HINT = "; expected 'centroids', 'identity', or a 4x4 matrix"


def fields(r):
    return (r.iterations, r.converged, r.energy, r.rmse, r.inlier_rmse, r.inlier_ratio, r.nu, r.scale,
            r.rotation.tobytes(), r.translation.tobytes())


# ---------------------------------------------------------------------------
# Call shape

def test_signature_and_docstring():
    assert str(inspect.signature(_tarvo.register)) == (
        "(source, target, *, method='robust_icp', target_normals=None, init=None, max_iterations=None, "
        "tolerance=None, anderson_m=None, nu_begin_k=None, nu_end_k=None, nu_alpha=None, nu_neighbors=None, "
        "max_line_search=None, normalize=None, estimate_scale=None, scale_bounds=None)")
    assert _tarvo.register.__doc__ is None


@pytest.mark.parametrize("args, kwargs", [
    ((SOURCE,), {}),
    ((), {"target": TARGET}),
    ((SOURCE, TARGET, "icp"), {}),
    ((SOURCE, TARGET), {"bogus": 1}),
    ((SOURCE, TARGET), {"source": SOURCE}),
    ((SOURCE, TARGET), {"k": 3}),
])
def test_wrong_call_shape_is_a_type_error(args, kwargs):
    exc = raised(lambda: _tarvo.register(*args, **kwargs))
    assert type(exc) is TypeError and notes(exc) == []


def test_source_and_target_by_keyword():
    by_keyword = _tarvo.register(target=TARGET, source=SOURCE, method="icp")
    assert fields(by_keyword) == fields(_tarvo.register(SOURCE, TARGET, method="icp"))


# ---------------------------------------------------------------------------
# Order of conversion failures: with two bad arguments the earlier one is reported.

BAD_VALUE = {
    "source": np.zeros(3), "target": np.zeros(3), "method": None, "target_normals": np.zeros(3),
    "max_iterations": -1, "tolerance": "x", "anderson_m": 1.5, "nu_begin_k": "x", "nu_end_k": [1.0],
    "nu_alpha": "x", "nu_neighbors": -2, "max_line_search": "x", "normalize": 1, "estimate_scale": 0,
    "scale_bounds": [0.5, 2.0],
}
CONVERSION_ORDER = list(BAD_VALUE)


@pytest.mark.parametrize("first, second", list(itertools.combinations(CONVERSION_ORDER, 2)))
def test_conversion_failures_are_reported_in_argument_order(first, second):
    arguments = {"source": SOURCE, "target": TARGET, first: BAD_VALUE[first], second: BAD_VALUE[second]}
    exc = raised(lambda: _tarvo.register(**arguments))
    assert notes(exc) == [f"while processing '{first}'"]


@pytest.mark.parametrize("arguments, message", [
    # conversion before the method name
    ({"method": "nope", "tolerance": "x"}, None),
    # method name before init
    ({"method": "nope", "init": "nope"}, 'unknown method "nope"; expected one of ' + EXPECTED_METHODS),
    # init before the shapes of the clouds
    ({"source": np.zeros((4, 2)), "init": "nope"}, 'unknown init "nope"' + INIT_HINT),
    # source shape before target shape, target before normals
    ({"source": np.zeros((4, 2)), "target": np.zeros((4, 1))}, "source must have shape (N, 3), got [4, 2]"),
    ({"target": np.zeros((4, 1)), "target_normals": np.zeros((4, 4))}, "target must have shape (N, 3), got [4, 1]"),
    # shapes before the normals requirement
    ({"source": np.zeros((4, 2)), "method": "point_to_plane"}, "source must have shape (N, 3), got [4, 2]"),
    # the normals requirement before the driver's validation and cloud checks
    ({"method": "robust_point_to_plane", "anderson_m": 0, "source": np.empty((0, 3))},
     "point-to-plane registration requires target normals; pass them to `register_with_normals` or "
     "estimate them with `estimate_normals`"),
    # options before clouds
    ({"source": np.empty((0, 3)), "nu_alpha": 1.0}, "invalid configuration: nu_alpha must lie in (0, 1)"),
])
def test_order_of_the_later_checks(arguments, message):
    call = {"source": SOURCE, "target": TARGET, **arguments}
    exc = raised(lambda: _tarvo.register(**call))
    if message is None:
        assert type(exc) is TypeError and notes(exc) == ["while processing 'tolerance'"]
    else:
        assert type(exc) is ValueError and str(exc) == message and notes(exc) == []


# ---------------------------------------------------------------------------
# Messages of the failure table

NAN_SOURCE = SOURCE.copy()
NAN_SOURCE[3, 1] = np.nan
INF_TARGET = TARGET.copy()
INF_TARGET[7, 2] = -np.inf
ZERO_NORMAL = NORMALS.copy()
ZERO_NORMAL[4] = 0.0
TINY_NORMAL = NORMALS.copy()
TINY_NORMAL[4] = [1e-200, 0.0, 0.0]
NAN_NORMAL = NORMALS.copy()
NAN_NORMAL[2, 0] = np.nan

DRIVER_ERRORS = [
    ({"source": np.empty((0, 3))}, "the source point cloud is empty"),
    ({"target": np.empty((0, 3))}, "the target point cloud is empty"),
    ({"source": NAN_SOURCE}, "the source point cloud contained a non-finite value"),
    ({"target": INF_TARGET}, "the target point cloud contained a non-finite value"),
    ({"method": "point_to_plane"}, "point-to-plane registration requires target normals; pass them to "
                                   "`register_with_normals` or estimate them with `estimate_normals`"),
    ({"method": "icp", "target_normals": NORMALS[:5]}, "target has 30 points but 5 normals were supplied"),
    ({"method": "point_to_plane", "target_normals": NAN_NORMAL}, "the target normals contained a non-finite value"),
    ({"method": "point_to_plane", "target_normals": ZERO_NORMAL}, "target normal 4 has zero length"),
    ({"method": "robust_point_to_plane", "target_normals": TINY_NORMAL}, "target normal 4 has zero length"),
    ({"max_iterations": 0}, "invalid configuration: max_iterations must be at least 1"),
    ({"tolerance": -1e-300}, "invalid configuration: tolerance must be finite and >= 0"),
    ({"method": "icp", "anderson_m": 0}, "invalid configuration: anderson_m must be at least 1"),
    ({"method": "icp", "nu_begin_k": 0.0}, "invalid configuration: nu_begin_k must be finite and > 0"),
    ({"nu_end_k": -0.0}, "invalid configuration: nu_end_k must be finite and > 0"),
    ({"nu_alpha": 0.0}, "invalid configuration: nu_alpha must lie in (0, 1)"),
    ({"nu_neighbors": 1}, "invalid configuration: nu_neighbors must be at least 2"),
    ({"method": "point_to_plane", "target_normals": NORMALS, "scale_bounds": (float("nan"), 1.0)},
     "`estimate_scale` is only implemented for icp, fast_icp, robust_icp"),
    ({"scale_bounds": (0.0, 1.0)}, "invalid configuration: scale_bounds must be finite with a positive lower bound"),
    ({"estimate_scale": True, "scale_bounds": (2.0, 1.0)},
     "invalid configuration: scale_bounds lower bound exceeds the upper bound"),
    ({"init": np.zeros((4, 4))}, "invalid configuration: the initial transform must have a positive scale"),
    ({"init": np.full((4, 4), np.nan)}, "the initial transform contained a non-finite value"),
]


@pytest.mark.parametrize("arguments, message", DRIVER_ERRORS, ids=range(len(DRIVER_ERRORS)))
def test_errors_become_value_errors_with_their_exact_text(arguments, message):
    call = {"source": SOURCE, "target": TARGET, **arguments}
    exc = raised(lambda: _tarvo.register(**call))
    assert type(exc) is ValueError
    assert str(exc) == message and notes(exc) == []


@pytest.mark.parametrize("arguments", [
    {"tolerance": 0.0}, {"tolerance": -0.0}, {"nu_alpha": 0.999},
    {"scale_bounds": (0.0, 1.0), "estimate_scale": False}, {"scale_bounds": (2.0, 2.0)},
    {"method": "icp", "target_normals": NAN_NORMAL},
    {"method": "point_to_plane", "target_normals": NORMALS, "estimate_scale": False},
    {"init": np.vstack([np.eye(4)[:3], np.full((1, 4), np.nan)])},
])
def test_accepted_edge_values(arguments):
    call = {"source": SOURCE, "target": TARGET, "max_iterations": 3, **arguments}
    assert isinstance(_tarvo.register(**call), _tarvo.Registration)


# ---------------------------------------------------------------------------
# Method names and their quoting

def reference_quote(text):
    out = ['"']
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ch in "\t\r\n\0":
            out.append({"\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}[ch])
        elif not ch.isprintable() or unicodedata.category(ch) in ("Mn", "Me") or ord(ch) in OTHER_GRAPHEME_EXTEND:
            out.append("\\u{%x}" % ord(ch))
        else:
            out.append(ch)
    return "".join(out) + '"'


OTHER_GRAPHEME_EXTEND = {0x9BE, 0x9D7, 0xB3E, 0xB57, 0xBBE, 0xBD7, 0xCC2, 0xCD5, 0xCD6, 0xD3E, 0xD57, 0xDCF, 0xDDF,
                         0x1B35, 0x200C, 0x302E, 0x302F, 0xFF9E, 0xFF9F, 0x1133E, 0x11357, 0x114B0, 0x114BD,
                         0x115AF, 0x11930, 0x1D165, *range(0x1D16E, 0x1D173), *range(0xE0020, 0xE0080)}


@pytest.mark.parametrize("method, quoted", [
    ("ICP", '"ICP"'),
    ("Robust_ICP", '"Robust_ICP"'),
    (" icp", '" icp"'),
    ("", '""'),
    ('say "icp"', '"say \\"icp\\""'),
    ("back\\slash", '"back\\\\slash"'),
    ("tab\there\rcr\nlf\0nul", '"tab\\there\\rcr\\nlf\\0nul"'),
    ("bell\x07esc\x1bdel\x7f", '"bell\\u{7}esc\\u{1b}del\\u{7f}"'),
    ("icp\u0301", '"icp\\u{301}"'),
    ("ring\u20dd", '"ring\\u{20dd}"'),
    ("\u09be\uff9e\U000e0041", '"\\u{9be}\\u{ff9e}\\u{e0041}"'),
    ("nb\u00a0sp\u2028\u200b\u200c", '"nb\\u{a0}sp\\u{2028}\\u{200b}\\u{200c}"'),
    ("private\ue000unassigned\U000e0080", '"private\\u{e000}unassigned\\u{e0080}"'),
    ("déjà_vu_日本_\U0001f600_\u0903", '"déjà_vu_日本_\U0001f600_\u0903"'),
])
def test_unknown_method_is_quoted(method, quoted):
    assert reference_quote(method) == quoted
    exc = raised(lambda: _tarvo.register(SOURCE, TARGET, method=method))
    assert type(exc) is ValueError
    assert str(exc) == f"unknown method {quoted}; expected one of {EXPECTED_METHODS}"


@settings(max_examples=150, deadline=None)
@given(st.text(max_size=12))
def test_quoting_matches_the_reference_on_arbitrary_text(text):
    if text in _tarvo.METHODS:
        return
    if any(0xD800 <= ord(c) < 0xE000 for c in text):
        exc = raised(lambda: _tarvo.register(SOURCE, TARGET, method=text))
        assert type(exc) is UnicodeEncodeError and notes(exc) == ["while processing 'method'"]
        return
    exc = raised(lambda: _tarvo.register(SOURCE, TARGET, method=text))
    assert str(exc) == f"unknown method {reference_quote(text)}; expected one of {EXPECTED_METHODS}"


class MethodName(str):
    pass


def test_method_accepts_str_subclasses_and_rejects_other_types():
    assert fields(_tarvo.register(SOURCE, TARGET, method=MethodName("icp"))) == fields(
        _tarvo.register(SOURCE, TARGET, method="icp"))
    for bad in (None, b"icp", 0, ["icp"]):
        exc = raised(lambda: _tarvo.register(SOURCE, TARGET, method=bad))
        assert type(exc) is TypeError and notes(exc) == ["while processing 'method'"]


# ---------------------------------------------------------------------------
# init

@pytest.mark.parametrize("text, same_as", [("Identity", "identity"), ("IDENTITY", "identity"),
                                           ("CENTROIDS", "centroids"), ("cEnTrOiDs", "centroids"),
                                           (None, "centroids"), (MethodName("Identity"), "identity")])
def test_init_text_ignores_ascii_case(text, same_as):
    source = SOURCE[:12]
    target = source @ np.diag([1.0, -1.0, -1.0]) + 0.3
    given_init = _tarvo.register(source, target, method="icp", init=text)
    assert fields(given_init) == fields(_tarvo.register(source, target, method="icp", init=same_as))


@pytest.mark.parametrize("text", ["", "identity ", "centroid", "ＩＤＥＮＴＩＴＹ", "IDENTİTY", "eye", "a\"\n"])
def test_unknown_init_text_is_quoted_before_lowercasing(text):
    exc = raised(lambda: _tarvo.register(SOURCE, TARGET, init=text))
    assert type(exc) is ValueError
    assert str(exc) == f"unknown init {reference_quote(text)}{INIT_HINT}"


@pytest.mark.parametrize("init", [5, np.arange(16.0), [[1, 2], [3]], "\ud800", {"a": 1}, np.zeros((2, 2, 2)),
                                  b"identity", bytearray(b"centroids"), np.array([["identity"]]), None.__class__],
                         ids=["number", "flat", "ragged", "surrogate", "dict", "three_dim", "bytes", "bytearray",
                              "str_array", "type"])
def test_init_that_is_no_matrix(init):
    exc = raised(lambda: _tarvo.register(SOURCE, TARGET, init=init))
    assert type(exc) is ValueError
    assert str(exc) == "init must be 'centroids', 'identity', or a 4x4 matrix"


class RaisesOnConversion:
    def __init__(self, error):
        self.error = error

    def __array__(self, dtype=None, copy=None):
        raise self.error


@pytest.mark.parametrize("error, kind", [
    (RuntimeError("boom"), ValueError),
    (TypeError("no"), ValueError),
    # an interrupt or exhausted memory is no verdict on init and must not be lost
    (KeyboardInterrupt(), KeyboardInterrupt),
    (MemoryError(), MemoryError),
])
def test_init_conversion_errors(error, kind):
    exc = raised(lambda: _tarvo.register(SOURCE, TARGET, init=RaisesOnConversion(error)))
    assert type(exc) is kind
    if kind is ValueError:
        assert str(exc) == "init must be 'centroids', 'identity', or a 4x4 matrix" and notes(exc) == []
    else:
        assert exc is error


@pytest.mark.parametrize("shape", [(3, 3), (4, 3), (1, 16), (0, 4), (5, 5)])
def test_init_matrix_must_be_four_by_four(shape):
    exc = raised(lambda: _tarvo.register(SOURCE, TARGET, init=np.eye(*shape) if shape[0] else np.empty(shape)))
    assert str(exc) == f"init matrix must have shape (4, 4), got [{shape[0]}, {shape[1]}]"


def init_matrix(block, translation, last_row=(0.0, 0.0, 0.0, 1.0)):
    m = np.zeros((4, 4))
    m[:3, :3] = block
    m[:3, 3] = translation
    m[3] = last_row
    return m


def exact_fit(init, source, target):
    # Starting from a transform that maps source exactly onto target, the fit stays there.
    return _tarvo.register(source, target, method="icp", init=init, estimate_scale=True, normalize=False,
                           scale_bounds=(0.01, 100.0))


@pytest.mark.parametrize("init_form", [
    lambda m: m, lambda m: m.tolist(), lambda m: np.asfortranarray(m), lambda m: m.astype(np.int64),
    lambda m: m.T.copy().T,
], ids=["array", "nested_list", "fortran", "integers", "transposed_view"])
def test_two_identity_block_gives_rotation_identity_and_scale_two(init_form):
    m = init_matrix(2.0 * np.eye(3), [1.0, 2.0, 3.0], last_row=(7.0, -1.0, 5.0, -3.0))
    target = 2.0 * SOURCE + [1.0, 2.0, 3.0]
    r = exact_fit(init_form(m), SOURCE, target)
    assert r.scale == pytest.approx(2.0, abs=1e-12)
    assert np.allclose(r.rotation, np.eye(3), atol=1e-12)
    assert np.allclose(r.translation, [1.0, 2.0, 3.0], atol=1e-12)


def test_matrix_scale_is_dropped_without_scale_estimation():
    m = init_matrix(2.0 * np.eye(3), [1.0, 2.0, 3.0])
    r = _tarvo.register(SOURCE, SOURCE + [1.0, 2.0, 3.0], method="icp", init=m, normalize=False)
    assert r.scale == 1.0
    assert np.allclose(r.translation, [1.0, 2.0, 3.0], atol=1e-12)


def test_reflection_in_init_becomes_a_rotation_with_negative_third_singular_value():
    # diag(3, 2, -1): U = I, sigma = (3, 2, 1), V^T = diag(1, 1, -1); corrected: R = I, s = (3 + 2 - 1) / 3.
    m = init_matrix(np.diag([3.0, 2.0, -1.0]), [0.5, 0.0, -0.5])
    target = (4.0 / 3.0) * SOURCE + [0.5, 0.0, -0.5]
    r = exact_fit(m, SOURCE, target)
    assert r.scale == pytest.approx(4.0 / 3.0, abs=1e-12)
    assert np.allclose(r.rotation, np.eye(3), atol=1e-12)


def with_entry(m, row, col, value):
    m = m.copy()
    m[row, col] = value
    return m


@pytest.mark.parametrize("init", [
    # the decomposition refuses a non-finite block; the block itself then reaches the driver
    with_entry(np.eye(4), 1, 2, np.inf),
    with_entry(np.eye(4), 0, 0, -np.inf),
    with_entry(np.eye(4), 2, 1, np.nan),
    # a finite block with a non-finite translation
    with_entry(np.eye(4), 1, 3, np.nan),
    with_entry(np.eye(4), 2, 3, np.inf),
], ids=["inf_block", "minus_inf_block", "nan_block", "nan_translation", "inf_translation"])
def test_non_finite_init_is_rejected_by_the_driver(init):
    exc = raised(lambda: _tarvo.register(SOURCE, TARGET, init=init))
    assert type(exc) is ValueError and str(exc) == "the initial transform contained a non-finite value"


def test_init_scale_must_be_positive_after_the_reflection_correction():
    # diag(1, 1, -2): sigma = (2, 1, 1) with a reflection, s = (2 + 1 - 1) / 3 > 0; diag(1, -1, -1) is a rotation.
    assert isinstance(_tarvo.register(SOURCE, TARGET, init=init_matrix(np.diag([1.0, 1.0, -2.0]), [0, 0, 0]),
                                      max_iterations=2), _tarvo.Registration)
    exc = raised(lambda: _tarvo.register(SOURCE, TARGET, init=init_matrix(np.zeros((3, 3)), [1, 2, 3])))
    assert str(exc) == "invalid configuration: the initial transform must have a positive scale"


# ---------------------------------------------------------------------------
# Defaults: leaving an option out, passing None and passing the documented default agree.

POINT_TO_POINT_DEFAULTS = dict(max_iterations=100, tolerance=1e-5, anderson_m=5, nu_begin_k=3.0,
                               nu_end_k=0.19245008972987526, nu_alpha=0.5, nu_neighbors=7, max_line_search=8,
                               normalize=True, estimate_scale=False, init="centroids")


@pytest.mark.parametrize("method", ["icp", "fast_icp", "robust_icp", "point_to_plane", "robust_point_to_plane"])
def test_documented_defaults(method):
    defaults = dict(POINT_TO_POINT_DEFAULTS)
    if method.endswith("point_to_plane"):
        defaults["nu_end_k"] = 0.16666666666666666
    if method == "robust_point_to_plane":
        defaults["max_iterations"] = 10
    target = TARGET + RNG.normal(scale=0.01, size=TARGET.shape)
    common = dict(method=method, target_normals=NORMALS)
    omitted = _tarvo.register(SOURCE, target, **common)
    as_none = _tarvo.register(SOURCE, target, **common, **{k: None for k in defaults}, scale_bounds=None)
    explicit = _tarvo.register(SOURCE, target, **common, **defaults)
    assert fields(omitted) == fields(as_none) == fields(explicit)


def test_method_defaults_to_robust_icp():
    assert fields(_tarvo.register(SOURCE, TARGET)) == fields(_tarvo.register(SOURCE, TARGET, method="robust_icp"))


def test_scale_bounds_turn_scale_estimation_on_unless_told_otherwise():
    target = 1.5 * SOURCE
    implied = _tarvo.register(SOURCE, target, method="icp", scale_bounds=(0.5, 2.0))
    explicit = _tarvo.register(SOURCE, target, method="icp", scale_bounds=(0.5, 2.0), estimate_scale=True)
    off = _tarvo.register(SOURCE, target, method="icp", scale_bounds=(0.5, 2.0), estimate_scale=False)
    assert fields(implied) == fields(explicit)
    assert implied.scale == pytest.approx(1.5) and off.scale == 1.0



def test_a_source_without_spread_keeps_scale_one_even_outside_the_bounds():
    # One point has no spread to measure a scale against: the plain fit keeps 1, although
    # the run starts from the bounds' clamp of 1 (the accelerated methods clamp their
    # extrapolated scale, so they stay inside).
    point = np.array([[0.25, -0.5, 1.0]])
    fitted = _tarvo.register(point, point + 0.1, method="icp", scale_bounds=(2.0, 3.0))
    assert fitted.scale == 1.0 and fitted.converged
    accelerated = _tarvo.register(point, point + 0.1, method="fast_icp", scale_bounds=(2.0, 3.0))
    assert accelerated.scale == 2.0


# ---------------------------------------------------------------------------
# Concurrency

def test_threads_get_bit_identical_results():
    clouds = [(RNG.random((300, 3)), method) for method in ("robust_icp", "fast_icp", "icp")]
    clouds = [(c, c @ np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]]) * 0.9 + 0.2, m)
              for c, m in clouds]
    serial = [fields(_tarvo.register(s, t, method=m, scale_bounds=(0.5, 2.0))) for s, t, m in clouds]
    results = {}

    def work(slot):
        s, t, m = clouds[slot % 3]
        results[slot] = fields(_tarvo.register(s, t, method=m, scale_bounds=(0.5, 2.0)))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(9)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(results[i] == serial[i % 3] for i in range(9))


def test_the_interpreter_lock_is_released_during_registration():
    source = RNG.random((5000, 3))
    target = source @ np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]]) + 0.05
    stamps = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0.0005)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        begin = time.perf_counter()
        _tarvo.register(source, target, method="robust_icp", tolerance=0.0, max_iterations=10)
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    # Outside the native call the threads alternate anyway; in its middle third only a
    # released lock lets the counter run.
    third = (end - begin) / 3
    assert sum(begin + third < s < end - third for s in stamps) > 0
