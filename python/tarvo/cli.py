"""The ``tarvo`` command: register point-cloud files, estimate normals, run the demo.

``main(argv)`` returns the exit status: 0 on success, 2 for usage errors and 1
for bad input files or a failed registration. Errors are printed on stderr as
one line; ``--debug`` shows the traceback instead.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
import traceback
from importlib import resources

import numpy as np

from . import _tarvo
from .io import PointCloudFileError, format_for, read_points, write_points

__all__ = ["main", "build_parser"]

POINT_TO_PLANE = ("point_to_plane", "robust_point_to_plane")
DEMO_DEFAULT_PLOT = "tarvo-demo.png"
# The demo starts every method from the ground truth disturbed by this much: a
# rotation about a fixed oblique axis through the target centroid, then a shift.
DEMO_PERTURBATION_DEGREES = 12.0
DEMO_PERTURBATION_AXIS = (0.3, 1.0, 0.2)
DEMO_PERTURBATION_SHIFT = (0.008, -0.005, 0.004)


# --------------------------------------------------------------------------- entry


def main(argv=None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        _check_usage(args)
    except SystemExit as stop:
        return _exit_code(stop)
    try:
        return args.handler(args)
    except (ValueError, OSError, ImportError) as exc:
        if args.debug:
            traceback.print_exc()
        else:
            print(f"tarvo: error: {_one_line(exc)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("tarvo: interrupted", file=sys.stderr)
        return 130


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                        help="show the full traceback of an error")
    parser = argparse.ArgumentParser(
        prog="tarvo", parents=[common],
        description="Exact, robust and fast registration of 3-D point clouds.")
    parser.set_defaults(debug=False)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _add_register_command(commands, common)
    _add_normals_command(commands, common)
    _add_demo_command(commands, common)
    return parser


def _add_register_command(commands, common) -> None:
    sub = commands.add_parser(
        "register", parents=[common], help="register SOURCE onto TARGET and print the transform",
        description="Registers the SOURCE cloud onto the TARGET cloud. Files may be PLY, PCD, XYZ/TXT/CSV, "
                    "NPY/NPZ or LAS/LAZ, chosen by extension.")
    sub.add_argument("source", metavar="SOURCE", help="point-cloud file to move")
    sub.add_argument("target", metavar="TARGET", help="point-cloud file to register onto")
    sub.add_argument("--method", choices=list(_tarvo.METHODS), default="robust_icp",
                     help="registration method (default: robust_icp)")
    sub.add_argument("--init", default="centroids", metavar="centroids|identity|FILE.txt",
                     help="initial transform: align the centroids (default), start from the identity, "
                          "or a text file holding a 4x4 matrix")
    sub.add_argument("--scale", nargs="*", type=float, metavar="BOUND",
                     help="estimate a uniform scale too; optionally give its bounds LO HI")
    sub.add_argument("--normals", metavar="auto|FILE",
                     help="target normals for the point-to-plane methods: 'auto' estimates them; FILE is a "
                          "cloud file whose normals (or, lacking those, whose points) are the normals. "
                          "Default: the target file's own normals, else estimated")
    sub.add_argument("--max-iterations", type=int, metavar="N", help="iteration budget per stage")
    sub.add_argument("--tolerance", type=float, metavar="T", help="convergence tolerance")
    sub.add_argument("-o", "--output", metavar="ALIGNED", help="write the transformed source here")
    sub.add_argument("--matrix", metavar="OUT.txt", help="write the 4x4 transform as text")
    sub.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    sub.add_argument("--plot", metavar="OUT.png", help="write a before/after picture (needs matplotlib)")
    sub.set_defaults(handler=run_register, subparser=sub)


def _add_normals_command(commands, common) -> None:
    sub = commands.add_parser("normals", parents=[common], help="estimate unit normals of a cloud",
                              description="Estimates a unit normal per point and writes points and normals.")
    sub.add_argument("points", metavar="POINTS", help="point-cloud file")
    sub.add_argument("-o", "--output", required=True, metavar="OUT", help="file to write points and normals to")
    sub.add_argument("-k", type=int, default=30, metavar="K", help="neighbours per plane fit (default: 30)")
    sub.set_defaults(handler=run_normals)


def _add_demo_command(commands, common) -> None:
    sub = commands.add_parser("demo", parents=[common], help="register the bundled bunny scans with every method",
                              description="Registers two real scans of the Stanford Bunny (Stanford 3D Scanning "
                                          "Repository) with every method from a perturbed start.")
    sub.add_argument("--plot", metavar="OUT.png", default=None,
                     help=f"where to write the before/after picture (default: ./{DEMO_DEFAULT_PLOT})")
    sub.add_argument("--no-plot", action="store_true", help="do not write a picture")
    sub.set_defaults(handler=run_demo)


def _check_usage(args) -> None:
    """Usage rules argparse cannot express; a violation exits with status 2."""
    if args.command == "register" and args.scale is not None and len(args.scale) not in (0, 2):
        args.subparser.error("--scale takes either no value or two bounds LO HI")


def _exit_code(stop: SystemExit) -> int:
    if stop.code is None:
        return 0
    return stop.code if isinstance(stop.code, int) else 1


def _one_line(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror and exc.filename:
        return f"{exc.filename}: {exc.strerror}"
    return " ".join(str(exc).split()) or type(exc).__name__


# --------------------------------------------------------------------------- register


def run_register(args) -> int:
    _check_outputs(output=args.output, plot=args.plot)
    clock = _Stopwatch()
    source, source_normals = read_points(args.source)
    target, target_normals = read_points(args.target)
    clock.lap("read")
    normals, normals_origin = _target_normals_for(args, target, target_normals)
    clock.lap("normals")
    init = _init_argument(args.init)
    result = _tarvo.register(source, target, method=args.method, target_normals=normals, init=init,
                             max_iterations=args.max_iterations, tolerance=args.tolerance,
                             **_scale_arguments(args.scale))
    clock.lap("register")
    if args.output:
        aligned_normals = None if source_normals is None else source_normals @ result.rotation.T
        write_points(args.output, result.apply(source), aligned_normals)
    if args.matrix:
        _write_matrix(args.matrix, result.transform)
    if args.plot:
        from .plot import plot_registration
        plot_registration(args.plot, source, target, result, title=f"tarvo register ({args.method})")
    clock.lap("write")
    if args.json:
        print(json.dumps(_result_record(args, result, len(source), len(target), normals_origin, clock), indent=2))
    else:
        print(f"{args.method}: {len(source)} source points onto {len(target)} target points "
              f"in {clock.laps['register']:.3f} s")
        print(repr(result))
        if result.nu is not None:
            print(f"nu = {result.nu!r}")
        print("transform (source -> target):")
        print(_format_matrix(result.transform, indent="  "))
    return 0


def _check_outputs(output=None, plot=None) -> None:
    """Fails before any work when a requested output cannot be written."""
    if output is not None:
        format_for(output)
    if plot is not None:
        from .plot import matplotlib_available
        if not matplotlib_available():
            raise ImportError("plotting needs matplotlib: pip install 'tarvo[plot]'")


def _target_normals_for(args, target, file_normals):
    """The normals to hand to ``register`` and where they came from."""
    if args.method not in POINT_TO_PLANE:
        return None, None
    if args.normals is None and file_normals is not None:
        return file_normals, "target file"
    if args.normals is None or args.normals == "auto":
        return _tarvo.estimate_normals(target), "estimated"
    points, normals = read_points(args.normals)
    return (normals if normals is not None else points), args.normals


def _init_argument(text: str):
    if text.lower() in ("centroids", "identity"):
        return text.lower()
    return _read_matrix(text)


def _read_matrix(path) -> np.ndarray:
    with open(path, encoding="utf-8") as stream:
        rows = [line.replace(",", " ").split() for line in stream
                if line.strip() and not line.lstrip().startswith("#")]
    try:
        matrix = np.array([[float(v) for v in row] for row in rows], dtype=np.float64)
    except ValueError:
        raise PointCloudFileError(path, "the initial transform must be 4 rows of 4 numbers") from None
    if matrix.shape != (4, 4):
        raise PointCloudFileError(path, "the initial transform must be 4 rows of 4 numbers")
    return matrix


def _scale_arguments(scale) -> dict:
    if scale is None:
        return {}
    if not scale:
        return {"estimate_scale": True}
    return {"estimate_scale": True, "scale_bounds": (scale[0], scale[1])}


def _format_matrix(matrix, indent: str = "") -> str:
    # repr() keeps every digit, so the text reads back to the same doubles.
    cells = [[repr(float(v)) for v in row] for row in np.asarray(matrix)]
    width = max(len(cell) for row in cells for cell in row)
    return "\n".join(indent + "  ".join(cell.rjust(width) for cell in row) for row in cells)


def _write_matrix(path, matrix) -> None:
    with open(path, "w", encoding="ascii") as stream:
        stream.write(_format_matrix(matrix) + "\n")


def _result_record(args, result, n_source: int, n_target: int, normals_origin, clock) -> dict:
    return {
        "method": args.method,
        "source": args.source,
        "target": args.target,
        "source_points": n_source,
        "target_points": n_target,
        "normals": normals_origin,
        "iterations": result.iterations,
        "converged": result.converged,
        "energy": _json_float(result.energy),
        "rmse": _json_float(result.rmse),
        "inlier_rmse": _json_float(result.inlier_rmse),
        "inlier_ratio": _json_float(result.inlier_ratio),
        "nu": None if result.nu is None else _json_float(result.nu),
        "scale": _json_float(result.scale),
        "rotation": _json_matrix(result.rotation),
        "translation": [_json_float(v) for v in result.translation],
        "transform": _json_matrix(result.transform),
        "timings": {name: round(seconds, 6) for name, seconds in clock.laps.items()} | {
            "total": round(clock.total(), 6)},
    }


def _json_float(value):
    # JSON has no NaN or infinity; null says "no finite value".
    value = float(value)
    return value if math.isfinite(value) else None


def _json_matrix(matrix):
    return [[_json_float(v) for v in row] for row in np.asarray(matrix)]


class _Stopwatch:
    def __init__(self):
        self.start = self.last = time.perf_counter()
        self.laps: dict[str, float] = {}

    def lap(self, name: str) -> None:
        now = time.perf_counter()
        self.laps[name] = now - self.last
        self.last = now

    def total(self) -> float:
        return time.perf_counter() - self.start


# --------------------------------------------------------------------------- normals


def run_normals(args) -> int:
    _check_outputs(output=args.output)
    points, _ = read_points(args.points)
    started = time.perf_counter()
    normals = _tarvo.estimate_normals(points, args.k)
    elapsed = time.perf_counter() - started
    write_points(args.output, points, normals)
    print(f"estimated {len(normals)} normals (k={args.k}) in {elapsed:.3f} s; wrote {args.output}")
    return 0


# --------------------------------------------------------------------------- demo


def load_demo_sample():
    """The bundled bunny scans: ``(source, target, T_gt)``."""
    with resources.files("tarvo").joinpath("data", "bunny_demo.npz").open("rb") as stream:
        with np.load(stream, allow_pickle=False) as sample:
            return sample["source"], sample["target"], sample["T_gt"]


def demo_initial_transform(target, ground_truth) -> np.ndarray:
    """The ground truth disturbed by a fixed rotation about the target centroid and a shift."""
    axis = np.asarray(DEMO_PERTURBATION_AXIS) / np.linalg.norm(DEMO_PERTURBATION_AXIS)
    angle = math.radians(DEMO_PERTURBATION_DEGREES)
    skew = np.array([[0.0, -axis[2], axis[1]], [axis[2], 0.0, -axis[0]], [-axis[1], axis[0], 0.0]])
    rotation = np.eye(3) + math.sin(angle) * skew + (1.0 - math.cos(angle)) * (skew @ skew)
    centre = np.mean(target, axis=0)
    perturbation = np.eye(4)
    perturbation[:3, :3] = rotation
    perturbation[:3, 3] = centre - rotation @ centre + np.asarray(DEMO_PERTURBATION_SHIFT)
    return perturbation @ ground_truth


def rotation_error_degrees(rotation, reference) -> float:
    """Angle of the rotation taking ``reference`` to ``rotation``, stable near zero."""
    delta = np.asarray(rotation) @ np.asarray(reference).T
    sine = 0.5 * np.linalg.norm([delta[2, 1] - delta[1, 2], delta[0, 2] - delta[2, 0], delta[1, 0] - delta[0, 1]])
    cosine = 0.5 * (np.trace(delta) - 1.0)
    return math.degrees(math.atan2(sine, cosine))


def run_demo(args) -> int:
    if not args.no_plot:
        _check_outputs(plot=args.plot)
    source, target, ground_truth = load_demo_sample()
    init = demo_initial_transform(target, ground_truth)
    started = time.perf_counter()
    normals = _tarvo.estimate_normals(target)
    normals_seconds = time.perf_counter() - started
    start_error = (rotation_error_degrees(init[:3, :3], ground_truth[:3, :3]),
                   1000.0 * np.linalg.norm(init[:3, 3] - ground_truth[:3, 3]))
    print(f"Stanford Bunny scans (Stanford 3D Scanning Repository): {len(source)} source and "
          f"{len(target)} target points")
    print(f"start: {start_error[0]:.2f} deg and {start_error[1]:.2f} mm away from the ground truth; "
          f"target normals estimated in {1000.0 * normals_seconds:.1f} ms")
    print(_DEMO_HEADER)
    results = {}
    for method in _tarvo.METHODS:
        results[method] = _demo_run(method, source, target, normals, init, ground_truth)
    return _demo_plot(args, source, target, init, results["robust_icp"])


_DEMO_HEADER = (f"{'method':<22} {'iters':>5} {'time [ms]':>9} {'rmse [mm]':>9} {'inliers':>7} "
                f"{'rot err [deg]':>13} {'trans err [mm]':>14}")


def _demo_run(method, source, target, normals, init, ground_truth):
    started = time.perf_counter()
    result = _tarvo.register(source, target, method=method, init=init,
                             target_normals=normals if method in POINT_TO_PLANE else None)
    elapsed = time.perf_counter() - started
    rotation_error = rotation_error_degrees(result.rotation, ground_truth[:3, :3])
    translation_error = 1000.0 * float(np.linalg.norm(result.translation - ground_truth[:3, 3]))
    print(f"{method:<22} {result.iterations:>5} {1000.0 * elapsed:>9.1f} {1000.0 * result.rmse:>9.4f} "
          f"{result.inlier_ratio:>7.3f} {rotation_error:>13.4f} {translation_error:>14.4f}")
    return result


def _demo_plot(args, source, target, init, result) -> int:
    if args.no_plot:
        return 0
    from .plot import matplotlib_available, plot_registration
    if not matplotlib_available():
        print("matplotlib is not installed, so no picture was written (pip install 'tarvo[plot]')")
        return 0
    path = args.plot if args.plot is not None else DEMO_DEFAULT_PLOT
    plot_registration(path, source, target, result, initial=init,
                      title="Stanford Bunny (Stanford 3D Scanning Repository), robust_icp")
    print(f"wrote {path}")
    return 0
