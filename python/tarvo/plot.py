"""Before/after pictures of a registration (needs the ``plot`` extra: matplotlib).

The figure has three panels: the clouds before and after registration as 3-D
scatter plots (source and target in two colours, subsampled for speed), and a
histogram of the final residuals, the distance from each transformed source
point to its nearest target point, with the 3ν inlier threshold marked for the
robust methods. Only matplotlib's object interface is used, so plotting never
touches pyplot's global state or the interactive backend.
"""

from __future__ import annotations

import os

import numpy as np

__all__ = ["matplotlib_available", "nearest_distances", "plot_registration"]

SOURCE_COLOUR = "#d95f02"
TARGET_COLOUR = "#1b9e77"

# Brute-force search block: 512 query points against the whole target keeps the
# distance matrix of one block at a few tens of megabytes for typical clouds.
_BRUTE_FORCE_BLOCK = 512


def matplotlib_available() -> bool:
    """Whether the plotting backend can be imported."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def nearest_distances(points, target) -> np.ndarray:
    """Distance from each of ``points`` to its nearest point of ``target``.

    Uses scipy's k-d tree when scipy is installed, else a blocked NumPy search
    (quadratic: keep ``points`` small, e.g. a subsample).
    """
    points = np.asarray(points, dtype=np.float64)
    target = np.asarray(target, dtype=np.float64)
    if len(points) == 0 or len(target) == 0:
        return np.full(len(points), np.nan)
    try:
        from scipy.spatial import cKDTree
    except ImportError:
        return _brute_force_nearest(points, target)
    distances, _ = cKDTree(target).query(points, k=1)
    return np.asarray(distances, dtype=np.float64)


def _brute_force_nearest(points: np.ndarray, target: np.ndarray) -> np.ndarray:
    target_sq = np.einsum("ij,ij->i", target, target)
    result = np.empty(len(points))
    for start in range(0, len(points), _BRUTE_FORCE_BLOCK):
        block = points[start:start + _BRUTE_FORCE_BLOCK]
        block_sq = np.einsum("ij,ij->i", block, block)
        squared = block_sq[:, None] - 2.0 * block @ target.T + target_sq[None, :]
        result[start:start + len(block)] = np.sqrt(np.maximum(squared.min(axis=1), 0.0))
    return result


def subsample(points: np.ndarray, limit: int) -> np.ndarray:
    """At most ``limit`` rows, evenly spaced and deterministic."""
    if len(points) <= limit:
        return points
    return points[np.linspace(0, len(points) - 1, limit).astype(np.intp)]


def apply_matrix(matrix, points) -> np.ndarray:
    """Applies a 4x4 homogeneous transform to an ``(N, 3)`` array."""
    matrix = np.asarray(matrix, dtype=np.float64)
    return points @ matrix[:3, :3].T + matrix[:3, 3]


def plot_registration(path, source, target, result, *, initial=None, title=None,
                      max_points: int = 3000, residual_points: int = 5000) -> None:
    """Writes the before/after figure of ``result`` (a ``Registration``) to ``path``.

    ``initial`` is the 4x4 transform the run started from (the "before" panel
    shows the source moved by it); without it the source is shown as given.
    """
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'tarvo[plot]'") from None
    source = np.asarray(source, dtype=np.float64)
    target = np.asarray(target, dtype=np.float64)
    before = source if initial is None else apply_matrix(initial, source)
    after = result.apply(source)

    figure = Figure(figsize=(15, 5), layout="constrained")
    FigureCanvasAgg(figure)
    shown_target = subsample(target, max_points)
    limits = _cube_limits(np.vstack([shown_target, subsample(before, max_points), subsample(after, max_points)]))
    for column, (moved, label) in enumerate(((before, "before"), (after, "after"))):
        axes = figure.add_subplot(1, 3, column + 1, projection="3d")
        _scatter_panel(axes, subsample(moved, max_points), shown_target, limits, label)
    residuals = nearest_distances(subsample(after, residual_points), target)
    _residual_histogram(figure.add_subplot(1, 3, 3), residuals, result)
    if title:
        figure.suptitle(title)
    figure.savefig(os.fspath(path), dpi=100)


def _cube_limits(points: np.ndarray) -> np.ndarray:
    """Equal-length axis ranges around all points, so the 3-D panels keep true shapes."""
    finite = points[np.all(np.isfinite(points), axis=1)]
    if len(finite) == 0:
        return np.array([[-1.0, 1.0]] * 3)
    low, high = finite.min(axis=0), finite.max(axis=0)
    centre = (low + high) / 2.0
    half = max(float((high - low).max()) / 2.0, 1e-12)
    return np.stack([centre - half, centre + half], axis=1)


def _scatter_panel(axes, source, target, limits, label: str) -> None:
    axes.scatter(target[:, 0], target[:, 1], target[:, 2], s=1.5, c=TARGET_COLOUR, label="target",
                 depthshade=False, linewidths=0)
    axes.scatter(source[:, 0], source[:, 1], source[:, 2], s=1.5, c=SOURCE_COLOUR, label="source",
                 depthshade=False, linewidths=0)
    for setter, (low, high) in zip((axes.set_xlim, axes.set_ylim, axes.set_zlim), limits):
        setter(low, high)
    axes.set_box_aspect((1.0, 1.0, 1.0))
    axes.set_xlabel("x")
    axes.set_ylabel("y")
    axes.set_zlabel("z")
    axes.tick_params(labelsize=7)
    axes.set_title(label)
    axes.legend(loc="upper left", markerscale=6, fontsize=8)


def _residual_histogram(axes, residuals: np.ndarray, result) -> None:
    finite = residuals[np.isfinite(residuals)]
    nu = getattr(result, "nu", None)
    threshold = 3.0 * nu if nu is not None else None
    if len(finite):
        upper = float(np.quantile(finite, 0.99))
        if threshold is not None and np.isfinite(threshold):
            upper = max(upper, 1.2 * threshold)
        axes.hist(np.minimum(finite, upper), bins=60, range=(0.0, upper if upper > 0 else 1.0),
                  color=SOURCE_COLOUR, alpha=0.8, label="residuals")
    if threshold is not None and np.isfinite(threshold):
        axes.axvline(threshold, color="black", linestyle="--", label=f"3\u03bd = {threshold:.3g}")
    axes.set_xlabel("distance to nearest target point (largest 1% clipped)")
    axes.set_ylabel("source points")
    axes.set_title(f"after: rmse {result.rmse:.3g}, inlier ratio {result.inlier_ratio:.3f}")
    axes.legend(fontsize=8)
