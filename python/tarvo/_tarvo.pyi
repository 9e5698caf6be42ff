"""Type information for the native extension tarvo._tarvo."""

from typing import Final, Literal, final

import numpy as np
import numpy.typing as npt

__version__: Final[str]
METHODS: list[str]

_Method = Literal["icp", "fast_icp", "robust_icp", "point_to_plane", "robust_point_to_plane"]
_Float64Array = npt.NDArray[np.float64]

@final
class Registration:
    """The result of a registration run.

    The scalar attributes are plain fields with generated getters; only the
    three that hand back numpy arrays need code."""

    @property
    def iterations(self) -> int:
        """Total ICP iterations across all `nu` stages."""
    @property
    def converged(self) -> bool:
        """Whether the final stage stopped on `tolerance` rather than its budget."""
    @property
    def energy(self) -> float:
        """The target energy at the returned transform."""
    @property
    def rmse(self) -> float:
        """RMS residual over every source point."""
    @property
    def inlier_rmse(self) -> float:
        """RMS residual over the pairs the robust metric kept."""
    @property
    def inlier_ratio(self) -> float:
        """Fraction of source points counted as inliers."""
    @property
    def nu(self) -> float | None:
        """The final Welsch parameter, or `None` for the non-robust methods."""
    @property
    def transform(self) -> _Float64Array:
        """The 4x4 homogeneous transform mapping source onto target; its
        upper-left block is `scale * rotation`."""
    @property
    def rotation(self) -> _Float64Array:
        """The 3x3 pure rotation, with `scale` divided out."""
    @property
    def translation(self) -> _Float64Array:
        """The translation part of `transform`."""
    @property
    def scale(self) -> float:
        """The uniform scale factor, `1.0` unless `estimate_scale` was set."""
    def apply(self, points: npt.ArrayLike) -> _Float64Array:
        """Applies the transform — scale included — to an `(N, 3)` array of points."""

def register(
    source: npt.ArrayLike,
    target: npt.ArrayLike,
    *,
    method: _Method | str = "robust_icp",
    target_normals: npt.ArrayLike | None = None,
    init: Literal["centroids", "identity"] | str | npt.ArrayLike | None = None,
    max_iterations: int | None = None,
    tolerance: float | None = None,
    anderson_m: int | None = None,
    nu_begin_k: float | None = None,
    nu_end_k: float | None = None,
    nu_alpha: float | None = None,
    nu_neighbors: int | None = None,
    max_line_search: int | None = None,
    normalize: bool | np.bool_ | None = None,
    estimate_scale: bool | np.bool_ | None = None,
    scale_bounds: tuple[float, float] | None = None,
) -> Registration:
    """Registers the `(N, 3)` source cloud onto the `(M, 3)` target cloud.

    Returns the rigid (or, with `estimate_scale` / `scale_bounds`, similarity)
    transform mapping source onto target together with the run's statistics.
    Options left out or passed as None take their defaults; invalid options and
    clouds raise ValueError."""

def estimate_normals(points: npt.ArrayLike, k: int = 30) -> _Float64Array:
    """Estimates unit normals by fitting a plane to each point's `k` nearest
    neighbours. The orientation is arbitrary."""
