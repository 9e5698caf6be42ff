"""estimate_normals(): call shape, conversion, errors and the returned array."""

import inspect

import numpy as np
import pytest

from tarvo import _tarvo

RNG = np.random.default_rng(5)


def plane_points(n=60):
    xy = RNG.random((n, 2))
    return np.column_stack([xy, 0.5 * xy[:, 0] - 0.25 * xy[:, 1] + 1.0])


def test_signature_and_docstring():
    assert str(inspect.signature(_tarvo.estimate_normals)) == "(points, k=30)"
    assert _tarvo.estimate_normals.__doc__ == ("Estimates unit normals by fitting a plane to each point's `k` nearest\n"
                                               "neighbours. The orientation is arbitrary.")


def test_result_array_properties():
    points = plane_points()
    normals = _tarvo.estimate_normals(points, k=8)
    assert normals.shape == points.shape and normals.dtype == np.float64
    assert normals.flags.c_contiguous and normals.flags.writeable
    assert np.allclose(np.linalg.norm(normals, axis=1), 1.0, atol=1e-12)
    expected = np.array([0.5, -0.25, -1.0]) / np.linalg.norm([0.5, -0.25, -1.0])
    assert np.allclose(np.abs(normals @ expected), 1.0, atol=1e-9)


def test_positional_keyword_and_default_k_agree():
    points = RNG.random((50, 3))
    default = _tarvo.estimate_normals(points)
    assert np.array_equal(default, _tarvo.estimate_normals(points, 30))
    assert np.array_equal(default, _tarvo.estimate_normals(points=points, k=30))
    assert np.array_equal(default, _tarvo.estimate_normals(points.tolist(), k=np.int32(30)))


@pytest.mark.parametrize("points, k", [(RNG.random((5, 3)), 50), (np.array([[1.0, 2.0, 3.0]]), 3)])
def test_k_may_exceed_the_point_count(points, k):
    normals = _tarvo.estimate_normals(points, k=k)
    assert normals.shape == points.shape
    assert np.allclose(np.linalg.norm(normals, axis=1), 1.0)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((np.zeros((3, 3)), 3, 4), {}), ((), {"k": 3}),
                                          ((np.zeros((3, 3)),), {"kk": 3}),
                                          ((np.zeros((3, 3)), 3), {"k": 3})])
def test_wrong_call_shape(args, kwargs):
    with pytest.raises(TypeError):
        _tarvo.estimate_normals(*args, **kwargs)


NAN_CLOUD = RNG.random((10, 3))
NAN_CLOUD[6, 2] = np.nan


@pytest.mark.parametrize("points, k, kind, message, note", [
    (np.empty((0, 3)), 30, ValueError, "the target point cloud is empty", None),
    (RNG.random((10, 3)), 2, ValueError, "invalid configuration: estimate_normals needs k >= 3 to fit a plane", None),
    (RNG.random((10, 3)), 0, ValueError, "invalid configuration: estimate_normals needs k >= 3 to fit a plane", None),
    (NAN_CLOUD, 5, ValueError, "the point cloud contained a non-finite value", None),
    (np.full((4, 3), np.inf), 3, ValueError, "the point cloud contained a non-finite value", None),
    (RNG.random((10, 3)), -1, OverflowError, None, "k"),
    (RNG.random((10, 3)), None, TypeError, None, "k"),
    (RNG.random((10, 3)), 3.0, TypeError, None, "k"),
    (RNG.random(10), 3, TypeError, None, "points"),
    ("points", 3, ValueError, None, "points"),
    # the column count is checked after k was converted, before k's value is judged
    (RNG.random((7, 2)), 2, ValueError, "points must have shape (N, 3), got [7, 2]", None),
    (RNG.random((7, 2)), "k", TypeError, None, "k"),
    (np.empty((0, 2)), 30, ValueError, "points must have shape (N, 3), got [0, 2]", None),
    # emptiness is checked before k
    (np.empty((0, 3)), 1, ValueError, "the target point cloud is empty", None),
])
def test_failures(points, k, kind, message, note):
    with pytest.raises(BaseException) as info:
        _tarvo.estimate_normals(points, k=k)
    exc = info.value
    assert type(exc) is kind
    if message is not None:
        assert str(exc) == message
    assert getattr(exc, "__notes__", []) == ([f"while processing '{note}'"] if note else [])


def test_normals_feed_point_to_plane_registration():
    target = plane_points(80)
    source = target - [0.05, 0.02, 0.0]
    normals = _tarvo.estimate_normals(target, k=10)
    r = _tarvo.register(source, target, method="point_to_plane", target_normals=normals)
    assert r.iterations >= 1 and r.rmse < 0.1
