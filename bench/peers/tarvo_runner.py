"""tarvo itself. The module has no thread knob: the worker restricts the process's CPU
affinity before the import, and the worker pool sizes itself from that mask."""

from __future__ import annotations

import numpy as np

from bench import timing
from bench.geometry import transform_errors

LIBRARY = "tarvo"
METHODS = ("icp", "fast_icp", "robust_icp", "point_to_plane", "robust_point_to_plane")
END_TO_END_METHODS = METHODS
PLANE_METHODS = ("point_to_plane", "robust_point_to_plane")
NORMALS_K = 30

_tarvo = None


def setup(threads: int) -> None:
    global _tarvo
    from tarvo import _tarvo as module

    _tarvo = module
    # Create the worker pool outside every timing.
    cloud = np.random.default_rng(0).standard_normal((4096, 3))  # enough points to use the pool
    _tarvo.register(cloud, cloud, method="icp", max_iterations=2)


def _result_fields(result) -> dict:
    return {"iterations": int(result.iterations), "converged": bool(result.converged),
            "rmse": float(result.rmse)}


# More fits after the first, from the ground truth, whose average cost is that of a later
# pass (and its fit): the difference of two noisy totals is spread over several passes.
EXTRA_FITS_AT_TRUTH = 5


def floor(ds, threads: int, case: dict) -> dict:
    """One registration with a single fit, from the pose the case names (ground truth or
    identity): copy, tree build, a correspondence pass, the fit and the pass at the fitted
    pose. The module offers no bare query, so differences of totals stand in for it:
    - what the source adds to that call (the same call with a one-point source pays for the
      target and the tree alone): the source's copy and query order, the first pass, the
      fit and the final pass;
    - a later pass, where a point that barely moved keeps its answer without a search, by
      the cost of one more fit: from the ground truth the average over EXTRA_FITS_AT_TRUTH
      more, from the identity the second;
    - the first pass, every point searched, by the first less the second: the source's
      copy and query order, and the pass."""
    at_truth = case["pose"] == "truth"
    init = ds.T_gt if at_truth else "identity"
    extra_fits = EXTRA_FITS_AT_TRUTH if at_truth else 1

    def run(source, fits: int = 1):
        return lambda: _tarvo.register(source, ds.target, method="icp", init=init,
                                       max_iterations=fits, tolerance=0.0)

    (times, target_only, more_fits), (result, _, _) = timing.repeat_interleaved(
        [run(ds.source), run(np.ascontiguousarray(ds.source[:1])), run(ds.source, 1 + extra_fits)],
        case["repeats"])
    query = min(times) - min(target_only)
    later = (min(more_fits) - min(times)) / extra_fits
    # What the source adds, less the fit and the pass at the fitted pose (a later pass):
    # the source's copy, its query order and the pass with every point searched.
    first = query - later if later > 0 else query
    return {**timing.summary(times), **_result_fields(result), "queries": len(ds.source),
            "query_s": query if query > 0 else None,
            "first_pass_s": first if first > 0 else None,
            "later_pass_s": later if later > 0 else None}


def iteration(ds, threads: int, case: dict) -> dict:
    method = case["method"]
    normals = ds.target_normals if method in PLANE_METHODS else None

    def call():
        return _tarvo.register(ds.source, ds.target, method=method, target_normals=normals,
                               init=ds.T_gt, max_iterations=case["max_iterations"],
                               tolerance=0.0)

    times, result = timing.repeat(call, case["repeats"])
    fields = {**timing.summary(times), **_result_fields(result)}
    fields["per_iteration_s"] = fields["best_s"] / max(1, fields["iterations"])
    fields.update(transform_errors(np.asarray(result.transform), ds.T_gt))
    return fields


def end_to_end(ds, threads: int, case: dict) -> dict:
    """Defaults throughout, from the identity; normals estimated inside the timing."""
    method = case["method"]
    needs_normals = method in PLANE_METHODS

    def call():
        normals = _tarvo.estimate_normals(ds.target, k=NORMALS_K) if needs_normals else None
        return _tarvo.register(ds.source, ds.target, method=method, target_normals=normals,
                               init="identity")

    times, result = timing.repeat(call, case["repeats"])
    return {**timing.summary(times), **_result_fields(result),
            **transform_errors(np.asarray(result.transform), ds.T_gt)}


def normals(ds, threads: int, case: dict) -> dict:
    times, _ = timing.repeat(lambda: _tarvo.estimate_normals(ds.target, k=NORMALS_K),
                             case["repeats"])
    return timing.summary(times)


def memory(ds, threads: int, case: dict) -> dict:
    method = case["method"]
    normals = ds.target_normals if method in PLANE_METHODS else None
    result = _tarvo.register(ds.source, ds.target, method=method, target_normals=normals,
                             init=ds.T_gt, max_iterations=case["max_iterations"],
                             tolerance=0.0)
    return _result_fields(result)
