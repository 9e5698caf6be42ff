"""Argument conversion rules, point intake and the arrays handed back to Python."""

import gc
import operator
import sys
from collections import namedtuple

import numpy as np
import pytest

from tarvo import _tarvo
from raising import notes, raised

RNG = np.random.default_rng(7)
SOURCE = RNG.random((24, 3))
TARGET = SOURCE @ np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]]) + [0.3, -0.2, 0.1]


@pytest.fixture(scope="module")
def result():
    return _tarvo.register(SOURCE, TARGET, method="icp", estimate_scale=True)


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floatable:
    def __float__(self):
        return 0.25


# ---------------------------------------------------------------------------
# Rule A and point intake: every layout gives the same cloud as its C copy.

BASE = RNG.random((9, 3))
LAYOUTS = {
    "c_order": lambda: BASE.copy(),
    "fortran": lambda: np.asfortranarray(BASE),
    "row_slice": lambda: np.vstack([BASE, BASE])[::2],
    "reversed_rows": lambda: BASE[::-1].copy()[::-1],
    "negative_columns": lambda: BASE[:, ::-1].copy()[:, ::-1],
    "transposed": lambda: BASE.T.copy().T,
    "column_subset": lambda: np.hstack([BASE, BASE])[:, 1:4][:, [2, 0, 1]][:, [1, 2, 0]],
    "single_row_odd_stride": lambda: np.hstack([BASE, BASE])[:1, :3],
    "big_endian": lambda: BASE.astype(">f8"),
    "float32": lambda: BASE.astype(np.float32),
    "nested_list": lambda: BASE.tolist(),
    "tuple_of_tuples": lambda: tuple(map(tuple, BASE)),
    "unaligned": lambda: np.frombuffer(b"\0" + BASE.tobytes(), dtype=np.float64, offset=1).reshape(9, 3),
    "readonly_broadcast": lambda: np.broadcast_to(BASE[:1], (9, 3)),
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_every_layout_gives_the_cloud_of_its_c_ordered_copy(result, layout):
    given = LAYOUTS[layout]()
    expected = np.ascontiguousarray(np.asarray(given, dtype=np.float64))
    assert np.array_equal(result.apply(given), result.apply(expected))


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
def test_forced_casting_accepts_complex(result):
    given = np.array([[1 + 2j, 3, 4]])
    assert np.array_equal(result.apply(given), result.apply(given.real.copy()))


@pytest.mark.parametrize("values, dtype", [([[1, 2, 3], [4, 5, 6]], np.int64), ([[True, False, True]], np.bool_),
                                           ([[1, 2, 3]], np.uint8), ([[1, 2, 3]], object)])
def test_castable_arrays_are_accepted(result, values, dtype):
    given = np.array(values, dtype=dtype)
    assert np.array_equal(result.apply(given), result.apply(given.astype(np.float64)))


def test_input_is_not_modified_and_no_reference_is_kept(result):
    points = RNG.random((5, 3))
    before = points.copy()
    count = sys.getrefcount(points)
    for _ in range(50):
        result.apply(points)
        _tarvo.register(points, points, method="icp")
        _tarvo.estimate_normals(points, k=3)
    assert sys.getrefcount(points) == count
    assert np.array_equal(points, before)


NOT_TWO_DIMENSIONAL = [np.zeros(3), np.zeros((2, 3, 3)), 5.0, [1.0, 2.0, 3.0], np.float64(1.0)]
NUMPY_REJECTS = [([[1, 2], [3]], ValueError), ("abc", ValueError), ({"a": 1}, TypeError),
                 ([["x", 1, 2]], ValueError)]


def array_callers():
    ok = np.zeros((3, 3)) + np.arange(3)[:, None] * [1.0, 0.5, 0.25]
    return {
        "source": lambda bad: _tarvo.register(bad, ok),
        "target": lambda bad: _tarvo.register(ok, bad),
        "target_normals": lambda bad: _tarvo.register(ok, ok, target_normals=bad),
        "points": lambda bad: _tarvo.estimate_normals(bad),
    }


@pytest.mark.parametrize("name", ["source", "target", "target_normals", "points"])
@pytest.mark.parametrize("bad", NOT_TWO_DIMENSIONAL, ids=range(len(NOT_TWO_DIMENSIONAL)))
def test_rule_a_rejects_other_dimensions_with_type_error(name, bad):
    exc = raised(lambda: array_callers()[name](bad))
    assert type(exc) is TypeError
    assert notes(exc) == [f"while processing '{name}'"]


@pytest.mark.parametrize("name", ["source", "target", "target_normals", "points"])
@pytest.mark.parametrize("bad, kind", NUMPY_REJECTS, ids=range(len(NUMPY_REJECTS)))
def test_rule_a_keeps_numpys_own_error(name, bad, kind):
    exc = raised(lambda: array_callers()[name](bad))
    assert isinstance(exc, kind)
    assert notes(exc) == [f"while processing '{name}'"]


def test_apply_notes_its_points_argument(result):
    exc = raised(lambda: result.apply(np.zeros(3)))
    assert type(exc) is TypeError and notes(exc) == ["while processing 'points'"]


@pytest.mark.parametrize("shape", [(5, 2), (0, 4), (1, 1), (3, 6)])
@pytest.mark.parametrize("name", ["source", "target", "target_normals", "points"])
def test_three_columns_are_required(name, shape):
    exc = raised(lambda: array_callers()[name](np.zeros(shape)))
    assert type(exc) is ValueError
    assert str(exc) == f"{name} must have shape (N, 3), got [{shape[0]}, {shape[1]}]"
    assert notes(exc) == []


def test_absurdly_large_views_raise_memory_error():
    huge = np.broadcast_to(np.ones(3), (2**40, 3))
    with pytest.raises(MemoryError):
        _tarvo.register(huge, SOURCE)
    with pytest.raises(MemoryError):
        _tarvo.estimate_normals(huge)


# ---------------------------------------------------------------------------
# Rules I, R, B and P, through the options of register and the k of estimate_normals.

def register_with(**options):
    return _tarvo.register(SOURCE, TARGET, method="icp", max_iterations=options.pop("max_iterations", 3), **options)


@pytest.mark.parametrize("value", [1, 7, np.int64(3), np.uint8(2), Indexable(4), True, 2**64 - 1])
def test_rule_i_accepts_integers(value):
    assert isinstance(register_with(anderson_m=value), _tarvo.Registration)


@pytest.mark.parametrize("value, kind", [(-1, OverflowError), (2**64, OverflowError), (Indexable(-5), OverflowError),
                                         (2.0, TypeError), ("3", TypeError), (np.float64(3.0), TypeError),
                                         ([3], TypeError), (1j, TypeError)])
@pytest.mark.parametrize("name", ["max_iterations", "anderson_m", "nu_neighbors", "max_line_search", "k"])
def test_rule_i_rejections(name, value, kind):
    if name == "k":
        exc = raised(lambda: _tarvo.estimate_normals(SOURCE, k=value))
    else:
        exc = raised(lambda: register_with(**{name: value}))
    assert type(exc) is kind
    assert notes(exc) == [f"while processing '{name}'"]


def test_rule_i_accepts_zero_and_leaves_the_check_to_validation():
    exc = raised(lambda: register_with(max_iterations=0))
    assert str(exc) == "invalid configuration: max_iterations must be at least 1" and notes(exc) == []


@pytest.mark.parametrize("value", [1, 0.5, np.float32(0.25), Floatable(), Indexable(0), np.int8(0)])
def test_rule_r_accepts_reals(value):
    assert isinstance(register_with(tolerance=value), _tarvo.Registration)


@pytest.mark.parametrize("value", ["0.1", [0.1], 1j, b"1", object()])
@pytest.mark.parametrize("name", ["tolerance", "nu_begin_k", "nu_end_k", "nu_alpha"])
def test_rule_r_rejections(name, value):
    exc = raised(lambda: register_with(**{name: value}))
    assert type(exc) is TypeError
    assert notes(exc) == [f"while processing '{name}'"]


@pytest.mark.parametrize("value", [float("nan"), float("inf"), -float("inf")])
def test_rule_r_passes_non_finite_values_to_validation(value):
    exc = raised(lambda: register_with(tolerance=value))
    assert type(exc) is ValueError and str(exc) == "invalid configuration: tolerance must be finite and >= 0"
    assert notes(exc) == []


@pytest.mark.parametrize("value", [True, False, np.True_, np.False_])
def test_rule_b_accepts_bools(value):
    reference = register_with(normalize=bool(value))
    converted = register_with(normalize=value)
    assert np.array_equal(reference.transform, converted.transform)


@pytest.mark.parametrize("value", [1, 0, "True", np.int64(1), 1.0, [True]])
@pytest.mark.parametrize("name", ["normalize", "estimate_scale"])
def test_rule_b_rejections(name, value):
    exc = raised(lambda: register_with(**{name: value}))
    assert type(exc) is TypeError
    assert notes(exc) == [f"while processing '{name}'"]


Pair = namedtuple("Pair", "low high")


@pytest.mark.parametrize("value", [(0.5, 2.0), Pair(0.5, 2.0), (np.float32(0.5), 2), (Floatable(), Indexable(1))])
def test_rule_p_accepts_tuples_of_reals(value):
    assert register_with(scale_bounds=value).scale >= float(value[0])


@pytest.mark.parametrize("value, kind, message", [
    ([0.5, 2.0], TypeError, None),
    (np.array([0.5, 2.0]), TypeError, None),
    ((1.0,), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ((), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ((1.0, 2.0, 3.0), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (("a", 2.0), TypeError, None),
    ((1.0, None), TypeError, None),
])
def test_rule_p_rejections(value, kind, message):
    exc = raised(lambda: register_with(scale_bounds=value))
    assert type(exc) is kind
    if message is not None:
        assert str(exc) == message
    assert notes(exc) == ["while processing 'scale_bounds'"]


def test_rule_p_reads_the_lower_bound_first():
    exc = raised(lambda: register_with(scale_bounds=(2.0, 1.0)))
    assert str(exc) == "invalid configuration: scale_bounds lower bound exceeds the upper bound"


# ---------------------------------------------------------------------------
# Arrays handed back to Python

ARRAY_PRODUCERS = {
    "rotation": (operator.attrgetter("rotation"), (3, 3)),
    "translation": (operator.attrgetter("translation"), (3,)),
    "transform": (operator.attrgetter("transform"), (4, 4)),
    "apply": (lambda r: r.apply(SOURCE), SOURCE.shape),
    "apply_empty": (lambda r: r.apply(np.empty((0, 3))), (0, 3)),
    "normals": (lambda r: _tarvo.estimate_normals(SOURCE, k=5), SOURCE.shape),
}


@pytest.mark.parametrize("producer", sorted(ARRAY_PRODUCERS))
def test_returned_arrays_own_their_buffer_through_a_holder(result, producer):
    make, shape = ARRAY_PRODUCERS[producer]
    array = make(result)
    assert array.shape == shape and array.dtype == np.float64
    assert array.flags.c_contiguous and array.flags.writeable and not array.flags.owndata
    holder = array.base
    assert type(holder).__name__ not in vars(_tarvo)
    assert type(holder).__mro__[1:] == (object,)
    with pytest.raises(TypeError):
        type(holder)()
    second = make(result)
    assert not np.shares_memory(array, second)


@pytest.mark.parametrize("producer", ["rotation", "apply", "normals"])
def test_a_view_keeps_the_buffer_alive(result, producer):
    make, _ = ARRAY_PRODUCERS[producer]
    array = make(result)
    expected = array.copy()
    view = array[1:]
    del array
    gc.collect()
    # Reuse freed memory: a dangling view would now read foreign data.
    _junk = [np.full((64, 3), 123.0) for _ in range(200)]
    assert np.array_equal(view, expected[1:])


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_nothing_leaks_over_ten_thousand_calls():
    points = RNG.random((400, 3))
    small = RNG.random((8, 3))

    def one_round():
        r = _tarvo.register(small, small + 0.5, method="icp", max_iterations=2)
        r.apply(points), r.rotation, r.translation, r.transform, repr(r)
        _tarvo.estimate_normals(small, k=3)
        for bad in ({"method": "nope"}, {"init": "nope"}, {"tolerance": "x"}, {"scale_bounds": [1, 2]}):
            try:
                _tarvo.register(small, small, **bad)
            except (TypeError, ValueError):
                pass

    for _ in range(500):
        one_round()
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), rss_bytes()
    for _ in range(10_000):
        one_round()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 500
    # One leaked (400, 3) result per round alone would be about 96 MB.
    assert rss_bytes() - rss < 16 * 2**20
