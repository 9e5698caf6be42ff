import struct
import sys

import numpy as np
import pytest

from tarvo.io import PointCloudFileError, read_points, write_points

plyfile = pytest.importorskip("plyfile")

EXACT_FORMATS = ["ply", "pcd", "xyz", "txt", "csv", "npy", "npz"]


@pytest.fixture
def cloud():
    rng = np.random.default_rng(7)
    # Values with full 53-bit mantissas, a huge and a tiny magnitude, and a negative zero
    # make any lossy formatting or float32 detour visible.
    points = rng.normal(size=(37, 3)) * np.array([1e-3, 1.0, 1e5])
    points[0] = (-0.0, 1e-300, 1.7976931348623157e308)
    normals = rng.normal(size=(37, 3))
    return points, normals


def assert_bits_equal(actual, expected):
    assert actual.dtype == np.float64 and actual.shape == expected.shape
    assert actual.tobytes() == np.ascontiguousarray(expected).tobytes()


@pytest.mark.parametrize("fmt", EXACT_FORMATS)
@pytest.mark.parametrize("with_normals", [False, True])
@pytest.mark.parametrize("binary", [True, False])
def test_round_trip_is_bit_exact(tmp_path, cloud, fmt, with_normals, binary):
    points, normals = cloud
    path = tmp_path / f"cloud.{fmt}"
    write_points(path, points, normals if with_normals else None, binary=binary)
    read, read_normals = read_points(path)
    assert_bits_equal(read, points)
    if with_normals:
        assert_bits_equal(read_normals, normals)
    else:
        assert read_normals is None


@pytest.mark.parametrize("with_normals", [False, True])
def test_las_round_trip_within_quantisation(tmp_path, cloud, with_normals):
    pytest.importorskip("laspy")
    points, normals = cloud
    points = points[1:] * 1e-5  # LAS integers cannot span 1e308
    normals = normals[1:]
    path = tmp_path / "cloud.las"
    write_points(path, points, normals if with_normals else None)
    read, read_normals = read_points(path)
    np.testing.assert_allclose(read, points, rtol=0, atol=1e-8)
    if with_normals:
        assert_bits_equal(read_normals, normals)
    else:
        assert read_normals is None


@pytest.mark.parametrize("byte_order", ["<", ">"])
@pytest.mark.parametrize("dtype", ["f4", "f8", "i4"])
def test_ply_from_other_writers(tmp_path, byte_order, dtype):
    # Another writer's layout: any byte order and type, extra vertex properties and a face element.
    values = np.arange(12, dtype=np.float64).reshape(4, 3) - 5.5 * (dtype != "i4")
    vertex = np.empty(4, dtype=[("x", dtype), ("y", dtype), ("z", dtype), ("red", "u1")])
    for i, axis in enumerate("xyz"):
        vertex[axis] = values[:, i]
    faces = np.array([([0, 1, 2],)], dtype=[("vertex_indices", "i4", (3,))])
    path = tmp_path / "other.ply"
    plyfile.PlyData([plyfile.PlyElement.describe(vertex, "vertex"), plyfile.PlyElement.describe(faces, "face")],
                    text=False, byte_order=byte_order).write(str(path))
    points, normals = read_points(path)
    assert_bits_equal(points, values)
    assert normals is None


@pytest.mark.parametrize(("text", "expected_points", "expected_normals"), [
    ("1 2 3\n4 5 6\n", [[1, 2, 3], [4, 5, 6]], None),
    ("# comment\n\n1,2,3,9\n4,5,6,9\n", [[1, 2, 3], [4, 5, 6]], None),
    ("X,Y,Z,intensity\n1,2,3,7\n4,5,6,8\n", [[1, 2, 3], [4, 5, 6]], None),
    ("intensity x y z\n7 1 2 3\n", [[1, 2, 3]], None),
    ("x y z nx ny nz\n1 2 3 0 0 1\n", [[1, 2, 3]], [[0, 0, 1]]),
    ("x\ty\tz\tnormal_x\tnormal_y\tnormal_z\n1\t2\t3\t1\t0\t0\n", [[1, 2, 3]], [[1, 0, 0]]),
    ("a b c\n", np.empty((0, 3)), None),
])
def test_text_layouts(tmp_path, text, expected_points, expected_normals):
    path = tmp_path / "cloud.xyz"
    path.write_text(text)
    points, normals = read_points(path)
    np.testing.assert_array_equal(points, np.asarray(expected_points, dtype=float).reshape(-1, 3))
    if expected_normals is None:
        assert normals is None
    else:
        np.testing.assert_array_equal(normals, expected_normals)


@pytest.mark.parametrize("kind", ["ascii", "binary"])
def test_pcd_from_other_writers(tmp_path, kind):
    # Mixed sizes, a padding field, a multi-valued field and an organised 2x2 layout.
    layout = np.dtype([("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("_", "u1"), ("hist", "<i2", (3,)),
                       ("normal_x", "<f8"), ("normal_y", "<f8"), ("normal_z", "<f8")])
    rows = np.zeros(4, dtype=layout)
    rows["x"], rows["y"], rows["z"] = [0.5, 1, 2, 3], [4, 5, 6, 7], [-1, -2, -3, -4.25]
    rows["hist"] = [[1, 2, 3]] * 4
    rows["normal_z"] = 1.0
    header = ("# written elsewhere\nVERSION .7\nFIELDS x y z _ hist normal_x normal_y normal_z\n"
              "SIZE 4 4 4 1 2 8 8 8\nTYPE F F F U I F F F\nCOUNT 1 1 1 1 3 1 1 1\n"
              f"WIDTH 2\nHEIGHT 2\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 4\nDATA {kind}\n").encode()
    if kind == "binary":
        body = rows.tobytes()
    else:
        body = "".join(f"{r['x']} {r['y']} {r['z']} 0 1 2 3 0 0 1\n" for r in rows).encode()
    (tmp_path / "other.pcd").write_bytes(header + body)
    points, normals = read_points(tmp_path / "other.pcd")
    np.testing.assert_array_equal(points, np.column_stack([rows["x"], rows["y"], rows["z"]]).astype(float))
    np.testing.assert_array_equal(normals, [[0, 0, 1]] * 4)


def test_npy_with_six_columns_carries_normals(tmp_path):
    data = np.arange(12.0).reshape(2, 6)
    np.save(tmp_path / "six.npy", data)
    points, normals = read_points(tmp_path / "six.npy")
    assert_bits_equal(points, data[:, :3])
    assert_bits_equal(normals, data[:, 3:])


def test_format_argument_overrides_the_extension(tmp_path, cloud):
    points, _ = cloud
    path = tmp_path / "cloud.dat"
    write_points(path, points, format="PCD")
    assert path.read_bytes().startswith(b"# .PCD")
    assert_bits_equal(read_points(path, format="pcd")[0], points)
    with pytest.raises(PointCloudFileError, match="unknown point-cloud format 'dat'"):
        read_points(path)


def ply_bytes(text_body: str, count: int, binary_rows: bytes | None = None) -> bytes:
    kind = "binary_little_endian" if binary_rows is not None else "ascii"
    header = (f"ply\nformat {kind} 1.0\nelement vertex {count}\n"
              "property double x\nproperty double y\nproperty double z\nend_header\n")
    return header.encode() + (binary_rows if binary_rows is not None else text_body.encode())


def pcd_bytes(kind: str, count: int, body: bytes, width: int | None = None) -> bytes:
    header = (f"VERSION 0.7\nFIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nCOUNT 1 1 1\n"
              f"WIDTH {count if width is None else width}\nHEIGHT 1\nPOINTS {count}\nDATA {kind}\n")
    return header.encode() + body


ROWS = struct.pack("<6d", 1, 2, 3, 4, 5, 6)

MALFORMED = {
    "empty ply": ("a.ply", b"", "the file is empty"),
    "empty pcd": ("a.pcd", b"", "the file is empty"),
    "empty xyz": ("a.xyz", b"", "the file is empty"),
    "empty npy": ("a.npy", b"", "the file is empty"),
    "ply no magic": ("a.ply", b"format ascii 1.0\n", "not a PLY file"),
    "ply truncated binary": ("a.ply", ply_bytes("", 2, ROWS[:-4]), "early end-of-file"),
    "ply too few rows": ("a.ply", ply_bytes("1 2 3\n", 2), "early end-of-file"),
    "ply too many rows": ("a.ply", ply_bytes("1 2 3\n4 5 6\n7 8 9\n", 2), "more data than its header declares"),
    "ply extra binary rows": ("a.ply", ply_bytes("", 1, ROWS), "more data than its header declares"),
    "ply non-numeric": ("a.ply", ply_bytes("1 2 3\n4 five 6\n", 2), "malformed input"),
    "ply no vertex": ("a.ply", b"ply\nformat ascii 1.0\nelement face 0\nproperty int n\nend_header\n",
                      "no 'vertex' element"),
    "ply no z": ("a.ply", b"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                 b"end_header\n1 2\n", "no property 'z'"),
    "ply header only": ("a.ply", b"ply\nformat ascii 1.0\nelement vertex 1\n", "malformed PLY file"),
    "pcd truncated binary": ("a.pcd", pcd_bytes("binary", 2, ROWS[:-1]), "truncated"),
    "pcd extra binary bytes": ("a.pcd", pcd_bytes("binary", 1, ROWS), "24 bytes more than its 1 points"),
    "pcd too few rows": ("a.pcd", pcd_bytes("ascii", 3, b"1 2 3\n4 5 6\n"), "declares 3 points but the file holds 2"),
    "pcd too many rows": ("a.pcd", pcd_bytes("ascii", 1, b"1 2 3\n4 5 6\n"), "declares 1 points but the file holds 2"),
    "pcd non-numeric": ("a.pcd", pcd_bytes("ascii", 2, b"1 2 3\n4 x 6\n"), "point 1: 'x' is not a number"),
    "pcd short row": ("a.pcd", pcd_bytes("ascii", 2, b"1 2 3\n4 6\n"), "point 1: expected 3 values, found 2"),
    "pcd compressed": ("a.pcd", pcd_bytes("binary_compressed", 1, b"\0" * 8), "binary_compressed' is not supported"),
    "pcd no data line": ("a.pcd", b"FIELDS x y z\nSIZE 8 8 8\nTYPE F F F\n", "header ends before its DATA line"),
    "pcd width mismatch": ("a.pcd", pcd_bytes("ascii", 1, b"1 2 3\n", width=2), "WIDTH*HEIGHT = 2 but POINTS = 1"),
    "pcd no y field": ("a.pcd", b"FIELDS x z\nSIZE 4 4\nTYPE F F\nPOINTS 0\nDATA ascii\n", "no field 'y'"),
    "pcd bad count": ("a.pcd", b"FIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nPOINTS many\nDATA ascii\n", "'many' is not"),
    "xyz non-numeric": ("a.xyz", b"1 2 3\n4 5 6\n7 8 nine\n", "line 3: 'nine' is not a number"),
    "xyz short row": ("a.xyz", b"1 2 3\n4 5\n", "line 2: expected 3 values, found 2"),
    "csv non-numeric after header": ("a.csv", b"x,y,z\n1,2,3\n\n1,2,?\n", "line 4: '?' is not a number"),
    "npy wrong shape": ("a.npy", None, "expected an array of shape (N, 3) or (N, 6), got [4, 2]"),
    "npy truncated": ("a.npy", "truncated", "not a readable NumPy file"),
    "npy pickled objects": ("a.npy", "objects", "not a readable NumPy file"),
    "npz without points": ("a.npz", "nopoints", "no array 'points' (found: cloud)"),
    "npz normal count": ("a.npz", "badnormals", "3 points but 2 normals"),
    "npy given an npz": ("a.npy", "zip", "found an .npz archive"),
}


def write_malformed(path, content):
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content is None:
        np.save(path, np.zeros((4, 2)))
    elif content == "truncated":
        np.save(path, np.zeros((10, 3)))
        path.write_bytes(path.read_bytes()[:-20])
    elif content == "objects":
        np.save(path, np.array([{"a": 1}], dtype=object), allow_pickle=True)
    elif content == "nopoints":
        with open(path, "wb") as stream:
            np.savez(stream, cloud=np.zeros((2, 3)))
    elif content == "badnormals":
        with open(path, "wb") as stream:
            np.savez(stream, points=np.zeros((3, 3)), normals=np.zeros((2, 3)))
    elif content == "zip":
        with open(path, "wb") as stream:
            np.savez(stream, points=np.zeros((3, 3)))


@pytest.mark.parametrize(("name", "content", "message"), MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_file_gives_one_clear_error(tmp_path, name, content, message):
    path = tmp_path / name
    write_malformed(path, content)
    with pytest.raises(PointCloudFileError) as caught:
        read_points(path)
    assert isinstance(caught.value, ValueError)
    assert str(caught.value).startswith(f"{path}: ")
    assert message in str(caught.value)
    assert caught.value.__cause__ is None or caught.value.__suppress_context__


def test_malformed_las(tmp_path):
    pytest.importorskip("laspy")
    path = tmp_path / "bad.las"
    path.write_bytes(b"LASF" + b"\0" * 50)
    with pytest.raises(PointCloudFileError, match="malformed LAS/LAZ file"):
        read_points(path)


def test_las_without_laspy_names_the_extra(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "laspy", None)
    path = tmp_path / "cloud.las"
    path.write_bytes(b"LASF")
    with pytest.raises(PointCloudFileError, match=r"pip install 'tarvo\[las\]'"):
        read_points(path)


def test_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        read_points(tmp_path / "missing.ply")


@pytest.mark.parametrize(("points", "normals", "message"), [
    (np.zeros((3, 2)), None, "points must have shape (N, 3), got [3, 2]"),
    (np.zeros((3, 3)), np.zeros((2, 3)), "3 points but 2 normals"),
    ([["a", "b", "c"]], None, "points are not numeric"),
])
def test_write_rejects_bad_arrays(tmp_path, points, normals, message):
    with pytest.raises(PointCloudFileError) as caught:
        write_points(tmp_path / "out.ply", points, normals)
    assert message in str(caught.value)
    assert not (tmp_path / "out.ply").exists()


def test_las_refuses_non_finite_coordinates(tmp_path):
    pytest.importorskip("laspy")
    with pytest.raises(PointCloudFileError, match="cannot store non-finite coordinates"):
        write_points(tmp_path / "out.las", [[np.nan, 0.0, 0.0]])
