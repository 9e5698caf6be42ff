import json
import math
import re
import subprocess
import sys

import numpy as np
import pytest

from tarvo import _tarvo
from tarvo.cli import main
from tarvo.io import read_points, write_points

pytest.importorskip("plyfile")

METHODS = ["icp", "fast_icp", "robust_icp", "point_to_plane", "robust_point_to_plane"]


def rotation_about(axis, degrees):
    axis = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    a = math.radians(degrees)
    return np.eye(3) + math.sin(a) * k + (1 - math.cos(a)) * k @ k


def surface(n=40):
    # A bumpy, asymmetric height field: registration onto it has one clear answer.
    u, v = np.meshgrid(np.linspace(-1, 1, n), np.linspace(-1, 1, n))
    z = 0.3 * np.sin(2 * u) * np.cos(3 * v) + 0.2 * u**2 + 0.1 * v
    return np.column_stack([u.ravel(), v.ravel(), z.ravel()])


KNOWN_ROTATION = rotation_about([1.0, 2.0, 0.5], 8.0)
KNOWN_TRANSLATION = np.array([0.05, -0.1, 0.07])


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    """Source and target files related by a known rigid transform (target normals in the PLY)."""
    folder = tmp_path_factory.mktemp("pair")
    source = surface()
    target = source @ KNOWN_ROTATION.T + KNOWN_TRANSLATION
    write_points(folder / "source.ply", source)
    write_points(folder / "target.xyz", target)
    write_points(folder / "target_normals.ply", target, _tarvo.estimate_normals(target))
    return folder


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def read_matrix(path):
    return np.loadtxt(path)


@pytest.mark.parametrize("method", METHODS)
def test_register_recovers_a_known_transform(pair, tmp_path, capsys, method):
    code, out, err = run(capsys, "register", pair / "source.ply", pair / "target.xyz", "--method", method,
                         "--matrix", tmp_path / "m.txt", "-o", tmp_path / "aligned.npy")
    assert code == 0, err
    assert out.splitlines()[1].startswith("Registration(iterations=")
    matrix = read_matrix(tmp_path / "m.txt")
    np.testing.assert_allclose(matrix[:3, :3], KNOWN_ROTATION, atol=1e-6)
    np.testing.assert_allclose(matrix[:3, 3], KNOWN_TRANSLATION, atol=1e-6)
    aligned, _ = read_points(tmp_path / "aligned.npy")
    target, _ = read_points(pair / "target.xyz")
    np.testing.assert_allclose(aligned, target, atol=1e-6)
    printed = np.array([[float(v) for v in line.split()] for line in out.splitlines()[-4:]])
    assert printed.tobytes() == matrix.tobytes()


def sci4(value):
    """The summary's number format: four decimals, bare exponent."""
    mantissa, exponent = f"{value:.4e}".split("e")
    return f"{mantissa}e{int(exponent)}"


@pytest.mark.parametrize("method", ["icp", "robust_icp", "point_to_plane"])
def test_json_matches_the_text_summary(pair, capsys, method):
    args = ["register", pair / "source.ply", pair / "target_normals.ply", "--method", method]
    code, text, _ = run(capsys, *args)
    assert code == 0
    code, out, _ = run(capsys, *args, "--json")
    assert code == 0
    record = json.loads(out)
    summary = dict(re.findall(r"(\w+)=([^,)]+)", text.splitlines()[1]))
    assert summary == {
        "iterations": str(record["iterations"]), "converged": str(record["converged"]),
        "rmse": sci4(record["rmse"]), "inlier_rmse": sci4(record["inlier_rmse"]),
        "inlier_ratio": f"{record['inlier_ratio']:.4f}", "energy": sci4(record["energy"])}
    printed = [[float(v) for v in line.split()] for line in text.splitlines()[-4:]]
    assert printed == record["transform"]
    assert record["method"] == method and record["source_points"] == 1600
    assert (record["nu"] is None) == (method != "robust_icp")
    assert record["normals"] == ("target file" if method == "point_to_plane" else None)
    assert set(record["timings"]) == {"read", "normals", "register", "write", "total"}


@pytest.mark.parametrize(("normals_option", "origin"), [([], "target file"), (["--normals", "auto"], "estimated")])
def test_normals_choice(pair, capsys, normals_option, origin):
    code, out, _ = run(capsys, "register", pair / "source.ply", pair / "target_normals.ply",
                       "--method", "robust_point_to_plane", "--json", *normals_option)
    assert code == 0
    assert json.loads(out)["normals"] == origin


def test_normals_from_a_file_of_normals(pair, tmp_path, capsys):
    target, _ = read_points(pair / "target.xyz")
    np.save(tmp_path / "n.npy", _tarvo.estimate_normals(target))
    code, out, err = run(capsys, "register", pair / "source.ply", pair / "target.xyz", "--method",
                         "point_to_plane", "--normals", tmp_path / "n.npy", "--json")
    assert code == 0, err
    record = json.loads(out)
    assert record["normals"] == str(tmp_path / "n.npy")
    np.testing.assert_allclose(np.array(record["rotation"]), KNOWN_ROTATION, atol=1e-6)


@pytest.mark.parametrize("bounds", [[], ["0.5", "2"]])
def test_scale_option_recovers_a_similarity(pair, tmp_path, capsys, bounds):
    source, _ = read_points(pair / "source.ply")
    write_points(tmp_path / "big.npy", 1.25 * source @ KNOWN_ROTATION.T + KNOWN_TRANSLATION)
    code, out, err = run(capsys, "register", pair / "source.ply", tmp_path / "big.npy", "--method", "robust_icp",
                         "--scale", *bounds, "--json")
    assert code == 0, err
    assert json.loads(out)["scale"] == pytest.approx(1.25, abs=1e-6)


def test_scale_bounds_clamp_the_estimate(pair, tmp_path, capsys):
    source, _ = read_points(pair / "source.ply")
    write_points(tmp_path / "big.npy", 1.25 * source)
    code, out, _ = run(capsys, "register", pair / "source.ply", tmp_path / "big.npy", "--method", "icp",
                       "--scale", "0.5", "1.1", "--json")
    assert code == 0
    assert json.loads(out)["scale"] == 1.1


def test_init_file_is_the_starting_transform(pair, tmp_path, capsys):
    start = np.eye(4)
    start[:3, :3], start[:3, 3] = KNOWN_ROTATION, KNOWN_TRANSLATION
    np.savetxt(tmp_path / "start.txt", start, fmt="%.17g")
    code, out, _ = run(capsys, "register", pair / "source.ply", pair / "target.xyz", "--method", "icp",
                       "--init", tmp_path / "start.txt", "--max-iterations", "1", "--json")
    assert code == 0
    record = json.loads(out)
    assert record["iterations"] == 1
    assert record["rmse"] < 1e-9


def test_aligned_output_carries_rotated_source_normals(pair, tmp_path, capsys):
    source, _ = read_points(pair / "source.ply")
    normals = _tarvo.estimate_normals(source)
    write_points(tmp_path / "src.pcd", source, normals)
    code, _, _ = run(capsys, "register", tmp_path / "src.pcd", pair / "target.xyz", "--method", "icp",
                     "-o", tmp_path / "out.ply")
    assert code == 0
    _, moved_normals = read_points(tmp_path / "out.ply")
    np.testing.assert_allclose(moved_normals, normals @ KNOWN_ROTATION.T, atol=1e-6)


def test_normals_command_writes_unit_normals(pair, tmp_path, capsys):
    code, out, _ = run(capsys, "normals", pair / "target.xyz", "-o", tmp_path / "n.ply", "-k", "12")
    assert code == 0 and "1600 normals" in out
    points, normals = read_points(tmp_path / "n.ply")
    np.testing.assert_array_equal(points, read_points(pair / "target.xyz")[0])
    np.testing.assert_allclose(np.linalg.norm(normals, axis=1), 1.0, atol=1e-12)


@pytest.mark.parametrize(("argv", "code", "message"), [
    ([], 2, "the following arguments are required"),
    (["register", "{s}"], 2, "the following arguments are required: TARGET"),
    (["register", "{s}", "{t}", "--method", "ICP"], 2, "invalid choice: 'ICP'"),
    (["register", "{s}", "{t}", "--scale", "1"], 2, "--scale takes either no value or two bounds LO HI"),
    (["register", "{s}", "{t}", "--max-iterations", "many"], 2, "invalid int value"),
    (["normals", "{s}"], 2, "the following arguments are required: -o/--output"),
    (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    (["register", "{d}/missing.ply", "{t}"], 1, "missing.ply: No such file or directory"),
    (["register", "{d}/bad.xyz", "{t}"], 1, "bad.xyz: line 2: 'oops' is not a number"),
    (["register", "{s}", "{t}", "--max-iterations", "0"], 1, "invalid configuration: max_iterations must be at least 1"),
    (["register", "{s}", "{t}", "--tolerance", "-1"], 1, "invalid configuration: tolerance must be finite and >= 0"),
    (["register", "{s}", "{t}", "--init", "{d}/three.txt"], 1, "three.txt: the initial transform must be 4 rows"),
    (["register", "{s}", "{t}", "--method", "point_to_plane", "--scale"], 1,
     "`estimate_scale` is only implemented for icp, fast_icp, robust_icp"),
    (["register", "{s}", "{d}/empty.npy"], 1, "the target point cloud is empty"),
    (["register", "{s}", "{t}", "-o", "{d}/out.foo"], 1, "out.foo: unknown point-cloud format 'foo'"),
    (["normals", "{s}", "-o", "{d}/n.ply", "-k", "2"], 1, "estimate_normals needs k >= 3 to fit a plane"),
])
def test_exit_codes_and_one_line_errors(pair, tmp_path, capsys, argv, code, message):
    (tmp_path / "bad.xyz").write_text("1 2 3\n4 oops 6\n")
    (tmp_path / "three.txt").write_text("1 0 0\n0 1 0\n0 0 1\n")
    np.save(tmp_path / "empty.npy", np.empty((0, 3)))
    names = {"s": pair / "source.ply", "t": pair / "target.xyz", "d": tmp_path}
    status, out, err = run(capsys, *[a.format(**names) for a in argv])
    assert status == code
    assert message in err
    assert "Traceback" not in err
    if code == 1:
        assert err.startswith("tarvo: error: ") and err.count("\n") == 1


def test_plot_without_matplotlib_fails_before_the_run(pair, tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    status, out, err = run(capsys, "register", pair / "source.ply", pair / "target.xyz", "--plot",
                           tmp_path / "p.png")
    assert status == 1 and out == ""
    assert err == "tarvo: error: plotting needs matplotlib: pip install 'tarvo[plot]'\n"


def test_debug_shows_the_traceback(tmp_path, capsys):
    status, _, err = run(capsys, "register", tmp_path / "missing.ply", tmp_path / "t.ply", "--debug")
    assert status == 1
    assert "Traceback" in err and "FileNotFoundError" in err


def test_help_exits_cleanly(capsys):
    status, out, _ = run(capsys, "register", "--help")
    assert status == 0 and "--normals auto|FILE" in out


def test_plot_writes_a_png(pair, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    status, _, err = run(capsys, "register", pair / "source.ply", pair / "target.xyz", "--plot",
                         tmp_path / "p.png")
    assert status == 0, err
    data = (tmp_path / "p.png").read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 10_000


def test_demo_prints_every_method_with_small_errors(tmp_path, capsys):
    plot = ["--plot", tmp_path / "demo.png"] if _matplotlib() else ["--no-plot"]
    status, out, err = run(capsys, "demo", *plot)
    assert status == 0, err
    rows = {line.split()[0]: line.split() for line in out.splitlines() if line.split()[:1] and
            line.split()[0] in METHODS}
    assert list(rows) == METHODS
    start_rotation_error = float(re.search(r"start: ([\d.]+) deg", out).group(1))
    for method, row in rows.items():
        rotation_error, translation_error = float(row[5]), float(row[6])
        # The scans overlap only partly, so the least-squares methods keep a bias of a few
        # degrees; the robust ones must land close to the ground truth.
        assert rotation_error < start_rotation_error / 3, method
        if method.startswith("robust"):
            assert rotation_error < 0.5 and translation_error < 0.5, method
    assert "Stanford 3D Scanning Repository" in out
    if _matplotlib():
        assert (tmp_path / "demo.png").stat().st_size > 10_000


def _matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def test_python_dash_m_runs_the_same_command(pair):
    completed = subprocess.run(
        [sys.executable, "-m", "tarvo", "register", str(pair / "source.ply"), str(pair / "target.xyz"),
         "--method", "fast_icp", "--json"], capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    np.testing.assert_allclose(np.array(json.loads(completed.stdout)["rotation"]), KNOWN_ROTATION, atol=1e-6)
    missing = subprocess.run([sys.executable, "-m", "tarvo", "register", "nope.ply", "nope.ply"],
                             capture_output=True, text=True, timeout=120)
    assert missing.returncode == 1 and missing.stderr.startswith("tarvo: error: nope.ply")


@pytest.mark.parametrize("with_scipy", [True, False])
def test_plot_residuals_match_a_direct_search(monkeypatch, with_scipy):
    from tarvo.plot import nearest_distances
    if not with_scipy:
        monkeypatch.setitem(sys.modules, "scipy.spatial", None)
    rng = np.random.default_rng(3)
    points, target = rng.normal(size=(700, 3)), rng.normal(size=(300, 3))
    expected = np.sqrt(((points[:, None, :] - target[None, :, :]) ** 2).sum(axis=2)).min(axis=1)
    np.testing.assert_allclose(nearest_distances(points, target), expected, rtol=1e-9, atol=1e-12)
