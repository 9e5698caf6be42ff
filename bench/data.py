"""Benchmark clouds: seeded synthetic surfaces and the real bunny scan pair.

Every dataset is written once per run into a scratch directory as plain ``.npy`` files so
that the measuring subprocesses can map them instead of rebuilding them.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np

BUNNY_PATH = os.path.join(os.path.dirname(__file__), "data", "bunny_pair.npz")
BUNNY_NAME = "bunny"
SEED = 20240611

# Shape of the synthetic surface: a unit sphere whose radius is modulated by a smooth
# bump field, so every query has one well-defined nearest surface patch and the
# registration is not ambiguous (no symmetry for the solvers to slide along).
BUMP_AMPLITUDE = 0.12
SURFACE_AREA = 4.0 * np.pi  # of the unit sphere; close enough to size the noise
NOISE_PER_SPACING = 0.1
MOTION_DEGREES = 10.0
MOTION_AXIS = np.array([1.0, 2.0, 3.0])
MOTION_TRANSLATION = np.array([0.05, -0.03, 0.02])


@dataclass(frozen=True)
class Dataset:
    """Arrays of one benchmark case; `target_normals` is None for the bunny pair."""

    name: str
    source: np.ndarray
    target: np.ndarray
    target_normals: np.ndarray | None
    T_gt: np.ndarray

    @property
    def source_at_truth(self) -> np.ndarray:
        """The source moved by the ground truth: the queries of a converged registration."""
        R, t = self.T_gt[:3, :3], self.T_gt[:3, 3]
        return self.source @ R.T + t


def synthetic_name(n: int) -> str:
    return f"synthetic-{n}"


def rotation_about(axis: np.ndarray, degrees: float) -> np.ndarray:
    """Rodrigues' formula for a rotation by `degrees` about `axis`."""
    k = axis / np.linalg.norm(axis)
    K = np.array([[0.0, -k[2], k[1]], [k[2], 0.0, -k[0]], [-k[1], k[0], 0.0]])
    a = np.radians(degrees)
    return np.eye(3) + np.sin(a) * K + (1.0 - np.cos(a)) * (K @ K)


def _bump(u: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Bump field g(u) on unit directions u (M, 3) and its gradient in R^3."""
    x, y, z = u[:, 0], u[:, 1], u[:, 2]
    a, b, c = np.sin(3.0 * x), np.sin(3.0 * y + 0.5), np.cos(2.0 * z)
    w = np.sin(5.0 * x + 2.0 * y - z)
    g = a * b * c + 0.5 * w
    dw = np.cos(5.0 * x + 2.0 * y - z)
    grad = np.stack(
        [
            3.0 * np.cos(3.0 * x) * b * c + 2.5 * dw,
            3.0 * a * np.cos(3.0 * y + 0.5) * c + 1.0 * dw,
            -2.0 * a * b * np.sin(2.0 * z) - 0.5 * dw,
        ],
        axis=1,
    )
    return g, grad


def bumpy_sphere(n: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """`n` points in random order on the surface |p| = 1 + A g(p/|p|), with unit normals.

    The normal is the gradient of F(p) = |p| - 1 - A g(p/|p|):
    u - A (I - u u^T) grad g(u) / |p|.
    """
    u = rng.standard_normal((n, 3))
    u /= np.linalg.norm(u, axis=1, keepdims=True)
    g, grad = _bump(u)
    radius = 1.0 + BUMP_AMPLITUDE * g
    points = u * radius[:, None]
    tangential = grad - u * np.einsum("ij,ij->i", u, grad)[:, None]
    normals = u - BUMP_AMPLITUDE * tangential / radius[:, None]
    normals /= np.linalg.norm(normals, axis=1, keepdims=True)
    return points, normals


def synthetic(n: int) -> Dataset:
    """Target on the bumpy sphere; source a noisy, shuffled copy moved by a known motion."""
    rng = np.random.default_rng([SEED, n])
    target, normals = bumpy_sphere(n, rng)
    sigma = NOISE_PER_SPACING * np.sqrt(SURFACE_AREA / n)
    noisy = target + rng.normal(scale=sigma, size=target.shape)
    R = rotation_about(MOTION_AXIS, MOTION_DEGREES)
    t = MOTION_TRANSLATION
    # target ≈ R source + t, hence source = R^T (target - t), written row-wise.
    source = (noisy - t) @ R
    source = source[rng.permutation(n)]
    T_gt = np.eye(4)
    T_gt[:3, :3], T_gt[:3, 3] = R, t
    return Dataset(synthetic_name(n), np.ascontiguousarray(source), target, normals, T_gt)


def bunny() -> Dataset:
    with np.load(BUNNY_PATH) as d:
        return Dataset(
            BUNNY_NAME,
            np.ascontiguousarray(d["source"], dtype=np.float64),
            np.ascontiguousarray(d["target"], dtype=np.float64),
            None,
            np.array(d["T_gt"], dtype=np.float64),
        )


_FIELDS = ("source", "target", "target_normals", "T_gt")


def save(dataset: Dataset, directory: str) -> None:
    for field in _FIELDS:
        array = getattr(dataset, field)
        if array is not None:
            np.save(os.path.join(directory, f"{dataset.name}.{field}.npy"), array)


def load(name: str, directory: str) -> Dataset:
    arrays = {}
    for field in _FIELDS:
        path = os.path.join(directory, f"{name}.{field}.npy")
        arrays[field] = np.load(path) if os.path.exists(path) else None
    return Dataset(name, **arrays)
