"""End-to-end accuracy through the Python API: known motions of a smooth synthetic
surface, and the real bunny scan pair against its ground truth."""

import importlib.resources

import numpy as np
import pytest

import tarvo


def bump_surface(side, seed):
    rng = np.random.default_rng(seed)
    i, j = np.meshgrid(np.arange(side), np.arange(side), indexing="ij")
    x = -1 + 2 / (side - 1) * (i + rng.uniform(-0.3, 0.3, i.shape))
    y = -1 + 2 / (side - 1) * (j + rng.uniform(-0.3, 0.3, j.shape))
    z = (0.5 * np.exp(-((x - 0.3) ** 2 + (y + 0.2) ** 2) / 0.2)
         + 0.3 * np.exp(-((x + 0.5) ** 2 + (y - 0.5) ** 2) / 0.1)
         + 0.1 * x * x - 0.1 * y ** 3)
    return np.c_[x.ravel(), y.ravel(), z.ravel()]


def rotation(degrees, axis):
    axis = np.asarray(axis, float) / np.linalg.norm(axis)
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    a = np.deg2rad(degrees)
    return np.eye(3) + np.sin(a) * k + (1 - np.cos(a)) * k @ k


def angle_deg(r_a, r_b):
    c = (np.trace(r_a.T @ r_b) - 1) / 2
    return np.rad2deg(np.arccos(np.clip(c, -1, 1)))


@pytest.fixture(scope="module")
def moved_surface():
    target = bump_surface(45, 3)
    r = rotation(15.0, [0.3, -0.5, 1.0])
    t = np.array([0.2, -0.1, 0.15])
    source = (target - t) @ r  # r maps source onto target: target = source @ r.T + t
    return source, target, r, t


@pytest.mark.parametrize("method", tarvo.METHODS)
def test_known_motion_with_estimated_normals(moved_surface, method):
    source, target, r, t = moved_surface
    normals = tarvo.estimate_normals(target, k=12) if "plane" in method else None
    result = tarvo.register(source, target, method=method, target_normals=normals,
                            tolerance=1e-10, max_iterations=200)
    assert angle_deg(result.rotation, r) < 1e-5
    np.testing.assert_allclose(result.translation, t, atol=1e-6)
    np.testing.assert_allclose(result.apply(source), target, atol=1e-6)
    assert result.scale == 1.0


@pytest.fixture(scope="module")
def bunny():
    with importlib.resources.files("tarvo").joinpath("data/bunny_demo.npz").open("rb") as f:
        data = np.load(f)
        return data["source"], data["target"], data["T_gt"]


@pytest.mark.parametrize("method", ["robust_icp", "robust_point_to_plane"])
def test_real_scans_from_the_identity_without_tuning(bunny, method):
    # Partial overlap biases the least-squares methods; the robust ones must not be.
    source, target, truth = bunny
    normals = tarvo.estimate_normals(target) if "plane" in method else None
    result = tarvo.register(source, target, method=method, target_normals=normals, init="identity")
    assert angle_deg(result.rotation, truth[:3, :3]) < 0.25
    assert np.linalg.norm(result.translation - truth[:3, 3]) < 0.5e-3  # metres
    assert 0.2 < result.inlier_ratio < 1.0
    assert result.nu is not None and result.nu > 0


def test_plain_icp_is_biased_by_partial_overlap(bunny):
    source, target, truth = bunny
    plain = tarvo.register(source, target, method="icp", init="identity")
    robust = tarvo.register(source, target, method="robust_icp", init="identity")
    assert angle_deg(plain.rotation, truth[:3, :3]) > 3 * angle_deg(robust.rotation, truth[:3, :3])


def test_similarity_recovered_through_the_api(moved_surface):
    source, target, r, t = moved_surface
    result = tarvo.register(source / 1.6, target, method="robust_icp", scale_bounds=(0.5, 3.0),
                            tolerance=1e-10, max_iterations=200)
    assert result.scale == pytest.approx(1.6, rel=1e-7)
    assert angle_deg(result.rotation, r) < 1e-5
    np.testing.assert_allclose(result.transform[:3, :3], result.scale * result.rotation, rtol=0, atol=0)
