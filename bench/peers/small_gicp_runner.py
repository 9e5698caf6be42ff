"""small_gicp: exact k-d tree, ICP and PLANE_ICP (and GICP end to end), its own thread count."""

from __future__ import annotations

import numpy as np

from bench import timing
from bench.geometry import transform_errors
from bench.peers import NO_CUTOFF

LIBRARY = "small_gicp"
NORMALS_K = 30
METHODS = ("ICP", "PLANE_ICP")
END_TO_END_METHODS = ("ICP", "PLANE_ICP", "GICP")

_sg = None


def setup(threads: int) -> None:
    global _sg
    import small_gicp

    _sg = small_gicp


def _iterations_run(result) -> int:
    """small_gicp reports the index of its last iteration (0 after one iteration)."""
    return int(result.iterations) + 1


def _result_fields(result, T_gt) -> dict:
    return {"iterations": _iterations_run(result), "converged": bool(result.converged),
            **transform_errors(result.T_target_source, T_gt)}


def floor(ds, threads: int, case: dict) -> dict:
    """Tree build and one batch query pass (its answer comes back as Python lists)."""
    queries = ds.source_at_truth if case["pose"] == "truth" else ds.source
    build_times, tree = timing.repeat(lambda: _sg.KdTree(ds.target, num_threads=threads),
                                      case["repeats"])
    query_times, _ = timing.repeat(
        lambda: tree.batch_nearest_neighbor_search(queries, num_threads=threads),
        case["repeats"])
    fields = timing.summary([b + q for b, q in zip(build_times, query_times)])
    fields.update(build_s=min(build_times), query_s=min(query_times), queries=len(queries))
    return fields


def iteration(ds, threads: int, case: dict) -> dict:
    """From the ground truth, a fixed iteration count (convergence thresholds 0), no cut-off;
    the target tree is
    built inside the call, the target normals beforehand."""
    method = case["method"]
    target, source = _sg.PointCloud(ds.target), _sg.PointCloud(ds.source)
    if method == "PLANE_ICP":
        _sg.estimate_normals(target, num_neighbors=NORMALS_K, num_threads=threads)

    def call():
        return _sg.align(target, source, init_T_target_source=ds.T_gt,
                         registration_type=method,
                         max_correspondence_distance=NO_CUTOFF, num_threads=threads,
                         max_iterations=case["max_iterations"], rotation_epsilon=0.0,
                         translation_epsilon=0.0)

    times, result = timing.repeat(call, case["repeats"])
    fields = {**timing.summary(times), **_result_fields(result, ds.T_gt)}
    fields["per_iteration_s"] = fields["best_s"] / max(1, fields["iterations"])
    return fields


def end_to_end(ds, threads: int, case: dict) -> dict:
    """Default convergence thresholds, at most 100 iterations, from the identity; trees,
    normals and covariances built inside the timing."""
    method = case["method"]
    cutoff = case.get("max_distance") or NO_CUTOFF

    def call():
        target, source = _sg.PointCloud(ds.target), _sg.PointCloud(ds.source)
        tree = _sg.KdTree(target, num_threads=threads)
        if method == "PLANE_ICP":
            _sg.estimate_normals(target, tree, num_neighbors=NORMALS_K, num_threads=threads)
        elif method == "GICP":
            _sg.estimate_covariances(target, tree, num_neighbors=NORMALS_K, num_threads=threads)
            _sg.estimate_covariances(source, num_neighbors=NORMALS_K, num_threads=threads)
        return _sg.align(target, source, tree, registration_type=method,
                         max_correspondence_distance=cutoff, num_threads=threads,
                         max_iterations=100)

    times, result = timing.repeat(call, case["repeats"])
    return {**timing.summary(times), **_result_fields(result, ds.T_gt)}


def normals(ds, threads: int, case: dict) -> dict:
    def call():
        cloud = _sg.PointCloud(ds.target)
        _sg.estimate_normals(cloud, num_neighbors=NORMALS_K, num_threads=threads)
        return cloud

    times, _ = timing.repeat(call, case["repeats"])
    return timing.summary(times)


def memory(ds, threads: int, case: dict) -> dict:
    fields = iteration(ds, threads, {**case, "repeats": 1})
    return {"iterations": fields["iterations"]}
