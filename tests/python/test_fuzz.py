"""Property-based fuzzing of the module surface.

Every call gets arbitrary shapes, dtypes, memory layouts, values and keyword
arguments. The only acceptable answers are the one `surface_model` predicts: a result
whose invariants hold, or the documented exception with its exact text and note.
A crash ends the run; a hang is turned into a traceback by faulthandler.

Set TARVO_FUZZ_TRACE=<file> to have the arguments of every call written to that file
before the call, so that a crash can be replayed.
"""

import faulthandler
import math
import os
import re
import warnings
from fractions import Fraction

import numpy as np
from hypothesis import event, given
from hypothesis import strategies as st

import surface_model as model
from tarvo import _tarvo

HANG_SECONDS = 120
TRACE_FILE = os.environ.get("TARVO_FUZZ_TRACE")

# ---------------------------------------------------------------------------
# Values

SPECIAL = [np.nan, np.inf, -np.inf, 1e300, -1e300, 5e-324, -5e-324, 2.2e-308, 0.0, -0.0, 1e150]


@st.composite
def coordinates(draw, rows, cols):
    """A float64 block of one of several kinds: random, special values sprinkled in,
    all equal, collinear or coplanar."""
    kind = draw(st.sampled_from(["random", "special", "equal", "collinear", "coplanar", "grid", "huge"]))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    values = rng.standard_normal((rows, cols)) * draw(st.sampled_from([1e-3, 1.0, 1e3]))
    if kind == "equal" and rows:
        values[:] = values[0]
    elif kind == "collinear" and cols:
        values = np.outer(rng.standard_normal(rows), rng.standard_normal(cols))
    elif kind == "coplanar" and cols == 3:
        values[:, 2] = 0.5 * values[:, 0] - 2.0 * values[:, 1]
    elif kind == "grid":
        values = np.round(values)
    elif kind == "huge":
        values *= draw(st.sampled_from([1e100, 1e-200, 1e200]))
    if kind == "special" and values.size:
        count = draw(st.integers(1, min(4, values.size)))
        for _ in range(count):
            index = draw(st.integers(0, values.size - 1))
            values.flat[index] = draw(st.sampled_from(SPECIAL))
    return values


@st.composite
def laid_out(draw, values):
    """The same logical array in a different memory layout and dtype."""
    layout = draw(st.sampled_from(["c", "fortran", "reversed", "strided", "transposed"]))
    if layout == "fortran":
        values = np.asfortranarray(values)
    elif layout == "reversed" and len(values):
        values = values[::-1].copy()[::-1]
    elif layout == "strided":
        wide = np.zeros((values.shape[0] * 2, values.shape[1] * 2))
        wide[::2, ::2] = values
        values = wide[::2, ::2]
    elif layout == "transposed":
        values = np.ascontiguousarray(values.T).T
    dtype = draw(st.sampled_from(["float64", "float64", "float32", "int64", "int8", "bool", "object",
                                  "complex", "list", ">f8", "float16"]))
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if dtype == "list":
            return values.tolist()
        if dtype == "object":
            return values.astype(object)
        if dtype == "complex":
            return values + 1j
        if dtype in ("int64", "int8"):
            finite = np.where(np.isfinite(values), np.clip(values, -1e6, 1e6), 0.0)
            return finite.astype(dtype)
        return values.astype(dtype)


def clouds(max_rows=200):
    """Any number of rows; three columns four times in five, else 0 to 4."""
    columns = st.integers(0, 4).flatmap(lambda pick: st.integers(0, 4) if pick == 0 else st.just(3))
    return st.tuples(st.integers(0, max_rows), columns).flatmap(lambda shape: coordinates(*shape)).flatmap(
        laid_out)


ODD_OBJECTS = st.sampled_from([
    None, 5, 2.5, "text", b"bytes", object(), [], [[]], [[1, 2, 3], [4, 5]], np.zeros(3), np.zeros((2, 3, 3)),
    np.array([[None, 1.0, 2.0]], dtype=object), np.array([["a", "b", "c"]]), {"a": 1}, np.float64(1.0),
])


def array_likes(max_rows=200):
    return st.one_of(clouds(max_rows), clouds(max_rows), clouds(max_rows), ODD_OBJECTS)


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def wrong_types():
    return st.sampled_from(["1", b"1", [1], (1,), {}, object(), 1j, np.array([1.0, 2.0])])


def mostly(valid, invalid):
    """Valid values four times in five, so that most calls get past conversion."""
    return st.integers(0, 4).flatmap(lambda pick: invalid if pick == 0 else valid)


def integers(low, high):
    """Rule I: ints, bools, NumPy ints and __index__ objects; floats and others are wrong."""
    valid = st.one_of(st.integers(low, high), st.integers(low, high).map(np.int32),
                      st.integers(low, high).map(IndexLike))
    invalid = st.one_of(st.sampled_from([0, -1, -(2**70), 2**64, 2**80, True, False, 2.0, np.float64(3.0),
                                         Fraction(3, 1)]), wrong_types())
    return mostly(valid, invalid)


def reals(low, high):
    """Rule R: floats, ints, NumPy floats and __float__ objects; NaN and infinities pass."""
    value = st.floats(low, high)
    valid = st.one_of(value, value.map(np.float32), value.map(FloatLike), st.integers(int(low) + 1, int(high) + 1))
    invalid = st.one_of(st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, -1e-300, 1.0,
                                         10**400, -(10**400)]), wrong_types())
    return mostly(valid, invalid)


def booleans():
    return mostly(st.sampled_from([True, False, np.True_, np.False_]), st.sampled_from([0, 1, "yes", 1.0, None]))


def pairs():
    value = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.sampled_from([0.5, 2.0]))
    invalid = st.one_of(st.tuples(value, value), st.tuples(value), st.tuples(value, value, value),
                        st.lists(value, max_size=2), wrong_types())
    return mostly(st.tuples(st.floats(0.05, 1), st.floats(1, 20)), invalid)


def method_names():
    invalid = st.one_of(st.sampled_from(["ICP", "", " icp", "robust_icp\n", "point\u0301", "\ud800",
                                         'a"b\\c\t', None, 3, b"icp"]), st.text(max_size=8))
    return mostly(st.sampled_from(model.METHODS), invalid)


@st.composite
def init_values(draw):
    kind = draw(st.sampled_from(["none", "text", "matrix", "matrix", "object"]))
    if kind == "none":
        return None
    if kind == "text":
        return draw(st.one_of(st.sampled_from(["centroids", "IDENTITY", "Centroids", "", "identity ", "\ud800",
                                               "\u0130dentity", "x\u200by"]), st.text(max_size=10)))
    if kind == "object":
        return draw(st.sampled_from([5, np.eye(3), np.zeros(16), [[1, 2], [3, 4]], np.zeros((4, 4, 1)),
                                     object(), {"a": 1}, np.eye(4).tolist(), np.eye(4, dtype=int)]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    matrix = np.eye(4)
    q, _ = np.linalg.qr(rng.standard_normal((3, 3)))
    matrix[:3, :3] = q * draw(st.sampled_from([1.0, 0.5, 2.0, -1.0, 0.0, 1e-320, 1e305]))
    matrix[:3, 3] = rng.standard_normal(3)
    matrix[3] = draw(st.sampled_from([[0, 0, 0, 1], [1, 2, 3, 4], [np.nan] * 4]))
    if draw(st.booleans()):
        matrix.flat[draw(st.integers(0, 15))] = draw(st.sampled_from(SPECIAL))
    return draw(laid_out(matrix))


def point_clouds(rows):
    """Mostly an (rows, 3) cloud in some layout and dtype; sometimes anything at all."""
    return mostly(coordinates(rows, 3).flatmap(laid_out), array_likes(120))


@st.composite
def register_calls(draw):
    source = draw(point_clouds(draw(st.integers(0, 120))))
    target_rows = draw(st.integers(0, 120))
    target = draw(point_clouds(target_rows))
    kwargs = {}
    if draw(st.integers(0, 4)) > 0:
        kwargs["method"] = draw(method_names())
    options = {
        "target_normals": mostly(coordinates(target_rows, 3).flatmap(laid_out), array_likes(120)),
        "init": init_values(),
        "max_iterations": integers(1, 30),
        "tolerance": reals(0, 1e-2),
        "anderson_m": integers(1, 12),
        "nu_begin_k": reals(1e-3, 10),
        "nu_end_k": reals(1e-3, 1),
        "nu_alpha": reals(0.01, 0.99),
        "nu_neighbors": integers(2, 40),
        "max_line_search": integers(0, 10),
        "normalize": booleans(),
        "estimate_scale": booleans(),
        "scale_bounds": pairs(),
    }
    for name, strategy in options.items():
        wanted = 2 if name == "target_normals" else 4  # normals let the point-to-plane methods run
        if draw(st.integers(0, wanted)) == 0 or (name == "target_normals" and draw(st.booleans())):
            kwargs[name] = draw(strategy)
    return source, target, kwargs


# ---------------------------------------------------------------------------
# Judging one call

LABEL_END = re.compile(r'[0-9"\[]')  # statistics group messages by their fixed leading words


def trace(label, *args):
    if TRACE_FILE:
        with open(TRACE_FILE, "a", encoding="utf-8") as out:
            out.write(f"{label}: {args!r}\n")


def outcome(call):
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return call(), None
    except Exception as error:  # noqa: BLE001 - judged by the caller
        return None, error
    finally:
        faulthandler.cancel_dump_traceback_later()


def judge(predict, call):
    """Runs the model and the call; returns (prediction, result) for a successful call."""
    try:
        prediction = predict()
    except model.Expected as expected:
        result, error = outcome(call)
        event(f"{type(error).__name__}: {LABEL_END.split(str(error))[0][:50]}")
        if error is None:
            assert expected.result_allowed, f"expected {expected.kind.__name__}: {expected.message}"
            return None, None
        assert not isinstance(error, SystemError), repr(error)
        assert type(error) is expected.kind, f"{error!r}, expected {expected.kind.__name__}: {expected.message}"
        if expected.message is not None:
            assert str(error) == expected.message
        assert getattr(error, "__notes__", []) == ([expected.note] if expected.note else [])
        return None, None
    result, error = outcome(call)
    event("result")
    assert error is None, f"unexpected {error!r}"
    return prediction, result


def bounded(*arrays, limit=1e100):
    return all(np.abs(a).max(initial=0.0) <= limit for a in arrays)


def check_registration(prediction, r):
    assert type(r) is _tarvo.Registration
    rotation, translation, transform = r.rotation, r.translation, r.transform
    assert rotation.shape == (3, 3) and translation.shape == (3,) and transform.shape == (4, 4)
    assert transform[3].tolist() == [0.0, 0.0, 0.0, 1.0]
    assert isinstance(r.iterations, int) and isinstance(r.converged, bool)
    assert 0.0 <= r.inlier_ratio <= 1.0
    options = prediction.options
    robust = prediction.method in ("robust_icp", "robust_point_to_plane")
    assert (r.nu is None) == (not robust)
    if not options["estimate_scale"]:
        assert r.scale == 1.0
    else:
        # Clamped into the bounds, except that a fit whose weighted source spread
        # vanishes (one point, or one point left with weight) keeps scale 1.
        lower, upper = options["scale_bounds"]
        assert lower <= r.scale <= upper or r.scale == 1.0
    if not robust:
        assert r.inlier_ratio == 1.0
    if bounded(prediction.source, prediction.target):
        assert np.isfinite(transform).all(), transform
        assert np.allclose(rotation @ rotation.T, np.eye(3), atol=1e-9)
        assert np.linalg.det(rotation) > 0
        assert r.rmse >= 0.0


# ---------------------------------------------------------------------------
# The properties

@given(register_calls())
def test_register_answers_with_a_result_or_the_documented_error(call):
    source, target, kwargs = call
    trace("register", source, target, kwargs)
    prediction, result = judge(lambda: model.predict_register(source, target, kwargs),
                               lambda: _tarvo.register(source, target, **kwargs))
    if prediction is not None:
        check_registration(prediction, result)


def _unit_or_fallback(normals):
    lengths = np.sqrt((normals * normals).sum(axis=1))
    return np.all(np.abs(lengths - 1.0) < 1e-12)


K_VALUES = st.one_of(st.integers(0, 40), st.sampled_from([-1, 2**64, 10**6]), st.just(None),
                     st.integers(0, 40).map(IndexLike), st.sampled_from([3.0, "3", np.int64(5)]))


@given(st.one_of(clouds(300), ODD_OBJECTS), st.booleans(), K_VALUES)
def test_estimate_normals_answers_with_unit_normals_or_the_documented_error(points, k_given, k):
    trace("estimate_normals", points, k_given, k)
    call = (lambda: _tarvo.estimate_normals(points, k)) if k_given else (lambda: _tarvo.estimate_normals(points))
    prediction, normals = judge(lambda: model.predict_estimate_normals(points, k_given, k), call)
    if prediction is None:
        return
    assert normals.shape == prediction.points.shape and normals.dtype == np.float64
    assert normals.flags.c_contiguous and normals.flags.writeable
    if bounded(prediction.points, limit=1e150):
        assert _unit_or_fallback(normals)


def _sample_registrations():
    rng = np.random.default_rng(5)
    source = rng.random((40, 3))
    target = source @ np.array([[0, -1, 0], [1, 0, 0], [0, 0, 1.0]]).T * 1.5 + [1.0, -2.0, 0.5]
    normals = np.tile([0.0, 0.0, 1.0], (40, 1))
    return [_tarvo.register(source, target, method=m, target_normals=normals) for m in model.METHODS] + [
        _tarvo.register(source, target, method="fast_icp", scale_bounds=(0.5, 3.0))]


REGISTRATIONS = _sample_registrations()


@given(st.sampled_from(REGISTRATIONS), st.one_of(clouds(300), ODD_OBJECTS))
def test_apply_answers_with_the_documented_arithmetic_or_error(registration, points):
    trace("apply", registration, points)
    prediction, moved = judge(lambda: model.predict_apply(points), lambda: registration.apply(points))
    if prediction is None:
        return
    expected = model.reference_apply(registration.rotation, registration.translation, registration.scale,
                                     prediction.points)
    assert moved.shape == expected.shape and moved.dtype == np.float64 and moved.flags.c_contiguous
    np.testing.assert_array_equal(moved, expected)
    assert np.array_equal(np.signbit(moved), np.signbit(expected))
