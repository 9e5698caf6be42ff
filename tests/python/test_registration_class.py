"""The Registration result class: type properties, attributes, apply and the summary."""

import copy
import inspect
import pickle
import weakref
from decimal import ROUND_HALF_EVEN, Decimal

import numpy as np
import pytest

from tarvo import _tarvo

Registration = _tarvo.Registration
RNG = np.random.default_rng(3)
TURN = np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]])


def cloud_pair(n=40, scale=1.0, noise=0.0, rng=RNG):
    source = rng.random((n, 3)) * scale
    target = (source @ TURN.T) * 1.1 + [0.2 * scale, 0.0, -0.1 * scale] + rng.normal(scale=noise * scale, size=(n, 3))
    return source, target


@pytest.fixture(scope="module")
def scaled():
    source, target = cloud_pair(noise=0.01)
    return _tarvo.register(source, target, method="robust_icp", scale_bounds=(0.5, 2.0))


@pytest.fixture(scope="module")
def rigid():
    source, target = cloud_pair()
    return _tarvo.register(source, target, method="fast_icp")


# ---------------------------------------------------------------------------
# The type

def test_type_identity_and_docstring():
    assert Registration.__name__ == "Registration" and Registration.__qualname__ == "Registration"
    assert Registration.__module__ == "tarvo._tarvo"
    assert Registration.__mro__ == (Registration, object)
    assert Registration.__doc__ == ("The result of a registration run.\n\nThe scalar attributes are plain fields "
                                    "with generated getters; only the\nthree that hand back numpy arrays need code.")


def test_cannot_be_instantiated():
    with pytest.raises(TypeError) as info:
        Registration()
    assert str(info.value) == "cannot create 'tarvo._tarvo.Registration' instances"


def test_type_is_immutable():
    with pytest.raises(TypeError):
        Registration.rmse = 1.0
    with pytest.raises(TypeError):
        Registration.extra = 1


def test_instances_have_no_dict_and_no_weakrefs(rigid):
    assert not hasattr(rigid, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(rigid)
    with pytest.raises(AttributeError):
        rigid.extra = 1


ATTRIBUTE_DOCS = {
    "iterations": "Total ICP iterations across all `nu` stages.",
    "converged": "Whether the final stage stopped on `tolerance` rather than its budget.",
    "energy": "The target energy at the returned transform.",
    "rmse": "RMS residual over every source point.",
    "inlier_rmse": "RMS residual over the pairs the robust metric kept.",
    "inlier_ratio": "Fraction of source points counted as inliers.",
    "nu": "The final Welsch parameter, or `None` for the non-robust methods.",
    "transform": "The 4x4 homogeneous transform mapping source onto target; its\nupper-left block is `scale * rotation`.",
    "rotation": "The 3x3 pure rotation, with `scale` divided out.",
    "translation": "The translation part of `transform`.",
    "scale": "The uniform scale factor, `1.0` unless `estimate_scale` was set.",
}


def test_attributes_are_declared_in_order():
    declared = [name for name in vars(Registration) if name in ATTRIBUTE_DOCS]
    assert declared == list(ATTRIBUTE_DOCS)


@pytest.mark.parametrize("name", list(ATTRIBUTE_DOCS))
def test_attribute_docstrings(name):
    assert vars(Registration)[name].__doc__ == ATTRIBUTE_DOCS[name]


@pytest.mark.parametrize("name", list(ATTRIBUTE_DOCS))
def test_attributes_cannot_be_set_or_deleted(rigid, name):
    before_text, before_value = repr(rigid), np.copy(getattr(rigid, name))
    with pytest.raises(AttributeError):
        setattr(rigid, name, 1.0)
    with pytest.raises(AttributeError):
        delattr(rigid, name)
    assert repr(rigid) == before_text
    assert np.array_equal(np.copy(getattr(rigid, name)), before_value)


def test_apply_signature_and_docstring():
    assert str(inspect.signature(Registration.apply)) == "(self, /, points)"
    assert Registration.apply.__text_signature__ == "($self, points)"
    assert Registration.apply.__doc__ == "Applies the transform \u2014 scale included \u2014 to an `(N, 3)` array of points."


def test_attribute_types(scaled, rigid):
    for r in (scaled, rigid):
        assert type(r.iterations) is int and type(r.converged) is bool
        for name in ("energy", "rmse", "inlier_rmse", "inlier_ratio", "scale"):
            assert type(getattr(r, name)) is float
    assert type(scaled.nu) is float and rigid.nu is None


@pytest.mark.parametrize("method, robust", [("icp", False), ("fast_icp", False), ("robust_icp", True),
                                            ("point_to_plane", False), ("robust_point_to_plane", True)])
def test_nu_is_present_only_for_robust_methods(method, robust):
    source, target = cloud_pair(noise=0.005)
    r = _tarvo.register(source, target, method=method, target_normals=_tarvo.estimate_normals(target, k=8))
    assert (r.nu is not None) == robust
    if not robust:
        assert r.inlier_ratio == 1.0 and r.inlier_rmse == r.rmse


# ---------------------------------------------------------------------------
# Array attributes

def test_transform_is_built_from_scale_rotation_and_translation(scaled):
    t = scaled.transform
    assert scaled.scale != 1.0
    assert np.array_equal(t[:3, :3], scaled.scale * scaled.rotation)
    assert np.array_equal(t[:3, 3], scaled.translation)
    assert t[3].tolist() == [0.0, 0.0, 0.0, 1.0]


@pytest.mark.parametrize("name, shape", [("rotation", (3, 3)), ("translation", (3,)), ("transform", (4, 4))])
def test_array_attributes_are_fresh_and_independent(scaled, name, shape):
    first = getattr(scaled, name)
    original = first.copy()
    assert first.shape == shape and first.dtype == np.float64 and first.flags.c_contiguous
    first[...] = -7.0
    second = getattr(scaled, name)
    assert np.array_equal(second, original)
    assert not np.shares_memory(first, second)


# ---------------------------------------------------------------------------
# apply

def reference_apply(r, points):
    p = np.asarray(points, dtype=np.float64)
    rot, t, s = r.rotation, r.translation, r.scale
    u = s * p
    columns = [(rot[i, 2] * u[:, 2] + (rot[i, 1] * u[:, 1] + rot[i, 0] * u[:, 0])) + t[i] for i in range(3)]
    return np.stack(columns, axis=1)


@pytest.mark.parametrize("magnitude", [1e-300, 1e-8, 1.0, 1e8, 1e300])
def test_apply_is_bit_exact_with_the_documented_grouping(scaled, magnitude):
    points = RNG.normal(size=(257, 3)) * magnitude
    assert np.array_equal(scaled.apply(points), reference_apply(scaled, points))


def test_apply_agrees_with_the_homogeneous_transform(scaled):
    points = RNG.random((50, 3))
    homogeneous = np.hstack([points, np.ones((50, 1))]) @ scaled.transform.T
    assert np.allclose(scaled.apply(points), homogeneous[:, :3], rtol=1e-13, atol=1e-13)


def test_apply_passes_non_finite_values_through(scaled):
    points = np.array([[np.nan, 0.0, 0.0], [np.inf, 1.0, 2.0], [0.0, -np.inf, 0.0]])
    assert np.array_equal(scaled.apply(points), reference_apply(scaled, points), equal_nan=True)


def test_apply_shapes_and_arguments(scaled):
    assert scaled.apply(np.empty((0, 3))).shape == (0, 3)
    assert np.array_equal(scaled.apply([[1, 2, 3]]), reference_apply(scaled, [[1.0, 2.0, 3.0]]))
    assert np.array_equal(scaled.apply(points=[[1, 2, 3]]), scaled.apply([[1, 2, 3]]))
    with pytest.raises(ValueError) as info:
        scaled.apply(np.zeros((4, 2)))
    assert str(info.value) == "points must have shape (N, 3), got [4, 2]"
    for args, kwargs in [((), {}), (([[1, 2, 3]], [[1, 2, 3]]), {}), ((), {"pts": [[1, 2, 3]]})]:
        with pytest.raises(TypeError):
            scaled.apply(*args, **kwargs)


def test_apply_result_is_independent_of_input_and_instance(scaled):
    points = RNG.random((6, 3))
    out = scaled.apply(points)
    assert not np.shares_memory(out, points)
    out[:] = 0.0
    assert np.array_equal(scaled.apply(points), reference_apply(scaled, points))


# ---------------------------------------------------------------------------
# repr, against a formatter that works on the exact decimal value of each double

def reference_number(value, scientific):
    if value != value:
        return "NaN"
    if value in (float("inf"), float("-inf")):
        return "inf" if value > 0 else "-inf"
    sign = "-" if np.copysign(1.0, value) < 0 else ""
    exact = abs(Decimal(value))
    quantum = Decimal("0.0001")
    if not scientific:
        return sign + str(exact.quantize(quantum, rounding=ROUND_HALF_EVEN))
    if exact == 0:
        return sign + "0.0000e0"
    exponent = exact.adjusted()
    mantissa = exact.scaleb(-exponent).quantize(quantum, rounding=ROUND_HALF_EVEN)
    if mantissa >= 10:
        exponent += 1
        mantissa = exact.scaleb(-exponent).quantize(quantum, rounding=ROUND_HALF_EVEN)
    return f"{sign}{mantissa}e{exponent}"


def reference_repr(r):
    scale_part = "" if r.scale == 1.0 else f", scale={reference_number(r.scale, False)}"
    return (f"Registration(iterations={r.iterations}, converged={r.converged}, "
            f"rmse={reference_number(r.rmse, True)}, inlier_rmse={reference_number(r.inlier_rmse, True)}, "
            f"inlier_ratio={reference_number(r.inlier_ratio, False)}, energy={reference_number(r.energy, True)}"
            f"{scale_part})")


@pytest.mark.parametrize("value, scientific, text", [
    (0.00123456, True, "1.2346e-3"), (12345.6, True, "1.2346e4"), (0.0, True, "0.0000e0"),
    (1.5e-7, True, "1.5000e-7"), (-0.0, True, "-0.0000e0"), (9.99995, True, "1.0000e1"),
    (0.95, False, "0.9500"), (1.25, False, "1.2500"), (0.03125, False, "0.0312"), (0.09375, False, "0.0938"),
    (-0.0, False, "-0.0000"), (float("nan"), True, "NaN"), (float("-inf"), False, "-inf"),
])
def test_reference_formatter_itself(value, scientific, text):
    assert reference_number(value, scientific) == text


def repr_cases():
    rng = np.random.default_rng(2024)
    for case in range(120):
        magnitude = 10.0 ** rng.uniform(-12, 12)
        n = 32 if case % 2 else int(rng.integers(8, 60))
        source, target = cloud_pair(n=n, scale=magnitude, noise=rng.uniform(0, 0.3), rng=rng)
        outliers = rng.random(n) < 0.2
        target[outliers] += rng.normal(scale=magnitude, size=(outliers.sum(), 3))
        method = ["icp", "fast_icp", "robust_icp"][case % 3]
        options = {"scale_bounds": (0.5, 2.0)} if case % 4 == 0 else {}
        yield source, target, method, options


def test_repr_matches_the_reference_on_many_runs():
    seen_ties = 0
    for source, target, method, options in repr_cases():
        r = _tarvo.register(source, target, method=method, max_iterations=15, **options)
        assert repr(r) == str(r) == reference_repr(r)
        seen_ties += (r.inlier_ratio * 32) % 2 == 1
    assert seen_ties > 0  # inlier ratios k/32 with odd k are exact ties at the fifth digit


def test_repr_of_non_finite_and_exact_values():
    # Extents near the top of the double range cannot be normalised: residuals overflow.
    huge = RNG.random((20, 3)) * 1e308
    overflowing = _tarvo.register(huge, huge[::-1] * 0.9, method="icp", max_iterations=2)
    assert overflowing.rmse == float("inf")
    assert "rmse=inf" in repr(overflowing)
    assert repr(overflowing) == reference_repr(overflowing)

    source, target = cloud_pair(n=30, noise=0.3)
    no_inliers = _tarvo.register(source, target + 5.0, method="robust_icp", nu_end_k=1e-12, nu_begin_k=1e-12,
                                 init="identity", max_iterations=1)
    assert no_inliers.inlier_rmse != no_inliers.inlier_rmse and no_inliers.inlier_ratio == 0.0
    assert "inlier_rmse=NaN, inlier_ratio=0.0000" in repr(no_inliers)
    assert repr(no_inliers) == reference_repr(no_inliers)


def test_repr_scale_part(rigid):
    assert repr(rigid).endswith(f"energy={reference_number(rigid.energy, True)})")


@pytest.mark.parametrize("bound, ending", [
    (1.25, ", scale=1.2500)"),
    # only a scale of exactly 1.0 drops the part, whether or not it was estimated
    (1.0, None),
    (1.00000001, ", scale=1.0000)"),
    (0.99995, ", scale=1.0000)"),  # the double lies just above the tie
    (0.03125, ", scale=0.0312)"),  # an exact tie goes to the even digit
])
def test_repr_scale_part_follows_the_exact_scale(bound, ending):
    # Equal bounds clamp the estimated scale to exactly the bound.
    source = RNG.random((25, 3))
    r = _tarvo.register(source, bound * source, method="icp", scale_bounds=(bound, bound), init="identity")
    assert r.scale == bound
    text = repr(r)
    if ending is None:
        assert "scale" not in text and text.endswith(f"energy={reference_number(r.energy, True)})")
    else:
        assert text.endswith(ending)


def test_no_equality_hashing_or_pickling_of_its_own(rigid):
    source, target = cloud_pair(rng=np.random.default_rng(9))
    first, second = (_tarvo.register(source, target, method="icp") for _ in range(2))
    assert repr(first) == repr(second)
    assert first == first and first != second
    assert hash(first) == object.__hash__(first)
    for attempt in (lambda: pickle.dumps(rigid), lambda: copy.copy(rigid)):
        with pytest.raises(TypeError):
            attempt()
