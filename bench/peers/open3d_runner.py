"""Open3D: registration_icp point-to-point and point-to-plane (and generalized ICP end to
end), normal estimation. Its loops use OpenMP, sized by OMP_NUM_THREADS, which the worker
sets before the import."""

from __future__ import annotations

import ctypes
import os
import re
import sys
import tempfile

import numpy as np

from bench import timing
from bench.geometry import transform_errors
from bench.peers import NO_CUTOFF

LIBRARY = "open3d"
NORMALS_K = 30
METHODS = ("point_to_point", "point_to_plane")
END_TO_END_METHODS = ("point_to_point", "point_to_plane", "generalized_icp")

_o3d = None
_reg = None


def setup(threads: int) -> None:
    global _o3d, _reg
    import open3d

    _o3d = open3d
    _reg = open3d.pipelines.registration
    _o3d.utility.set_verbosity_level(_o3d.utility.VerbosityLevel.Error)


def _cloud(points: np.ndarray, normals: np.ndarray | None = None):
    cloud = _o3d.geometry.PointCloud(_o3d.utility.Vector3dVector(points))
    if normals is not None:
        cloud.normals = _o3d.utility.Vector3dVector(normals)
    return cloud


def _estimation(method: str):
    if method == "point_to_point":
        return _reg.TransformationEstimationPointToPoint()
    if method == "point_to_plane":
        return _reg.TransformationEstimationPointToPlane()
    return _reg.TransformationEstimationForGeneralizedICP()


def _register(method, source, target, cutoff, criteria, init=None):
    run = _reg.registration_generalized_icp if method == "generalized_icp" else _reg.registration_icp
    init = np.eye(4) if init is None else init
    return run(source, target, cutoff, init, _estimation(method), criteria)


def _count_iterations(call) -> int | None:
    """Open3D does not report its iteration count; run `call` once more, untimed, with debug
    logging sent to a file and count the iteration lines it writes."""
    with tempfile.TemporaryFile(mode="w+b") as log:
        saved = os.dup(1)
        os.dup2(log.fileno(), 1)
        _o3d.utility.set_verbosity_level(_o3d.utility.VerbosityLevel.Debug)
        try:
            call()
        finally:
            _o3d.utility.set_verbosity_level(_o3d.utility.VerbosityLevel.Error)
            sys.stdout.flush()
            ctypes.CDLL(None).fflush(None)  # the C library buffers what Open3D printed
            os.dup2(saved, 1)
            os.close(saved)
        log.seek(0)
        text = log.read().decode("utf-8", "replace")
    found = re.findall(r"Iteration #(\d+)", text)
    return max(int(i) for i in found) + 1 if found else None


def iteration(ds, threads: int, case: dict) -> dict:
    """From the ground truth, a fixed iteration count (relative thresholds 0 never stop it),
    no cut-off; the target
    normals given beforehand, the target tree built inside the call. Open3D searches once
    more than it iterates (the final evaluation); nothing is subtracted."""
    method, max_iterations = case["method"], case["max_iterations"]
    target = _cloud(ds.target, ds.target_normals if method == "point_to_plane" else None)
    source = _cloud(ds.source)
    criteria = _reg.ICPConvergenceCriteria(relative_fitness=0.0, relative_rmse=0.0,
                                           max_iteration=max_iterations)
    times, result = timing.repeat(
        lambda: _register(method, source, target, NO_CUTOFF, criteria, ds.T_gt),
        case["repeats"])
    fields = {**timing.summary(times), "iterations": max_iterations,
              **transform_errors(result.transformation, ds.T_gt)}
    fields["per_iteration_s"] = fields["best_s"] / max_iterations
    return fields


def end_to_end(ds, threads: int, case: dict) -> dict:
    """Default relative thresholds, at most 100 iterations, from the identity; normals
    (KNN 30) estimated inside the timing for point-to-plane."""
    method = case["method"]
    cutoff = case.get("max_distance") or NO_CUTOFF
    criteria = _reg.ICPConvergenceCriteria(max_iteration=100)
    source_points, target_points = ds.source, ds.target

    def call():
        target, source = _cloud(target_points), _cloud(source_points)
        if method == "point_to_plane":
            target.estimate_normals(_o3d.geometry.KDTreeSearchParamKNN(NORMALS_K))
        return _register(method, source, target, cutoff, criteria)

    times, result = timing.repeat(call, case["repeats"])
    return {**timing.summary(times), "iterations": _count_iterations(call),
            **transform_errors(result.transformation, ds.T_gt)}


def normals(ds, threads: int, case: dict) -> dict:
    """A fresh cloud per call: with normals already present Open3D would also re-orient."""
    param = _o3d.geometry.KDTreeSearchParamKNN(NORMALS_K)

    def call():
        target = _cloud(ds.target)
        target.estimate_normals(param)
        return target

    times, _ = timing.repeat(call, case["repeats"])
    return timing.summary(times)


def memory(ds, threads: int, case: dict) -> dict:
    fields = iteration(ds, threads, {**case, "repeats": 1})
    return {"iterations": fields["iterations"]}
