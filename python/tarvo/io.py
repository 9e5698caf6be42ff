"""Reading and writing point-cloud files.

``read_points`` returns ``(points, normals)``: an ``(N, 3)`` float64 array and
either an ``(N, 3)`` float64 array of normals or ``None``. ``write_points``
writes the same pair back. The format is chosen by the file extension unless
``format`` names it:

=========================  ================================================
format (extension)         what is read and written
=========================  ================================================
``ply``                    vertex ``x y z`` and optional ``nx ny nz``; ASCII
                           and binary of either byte order (via plyfile)
``pcd``                    fields ``x y z`` and optional ``normal_x
                           normal_y normal_z``; ``ascii`` and ``binary``
                           data (``binary_compressed`` is not supported)
``xyz``, ``txt``, ``csv``  one point per line, whitespace or comma
                           separated, the first three columns; an optional
                           header line whose names ``nx ny nz`` (or
                           ``normal_x ...``) mark normal columns; lines
                           starting with ``#`` are comments
``npy``                    an ``(N, 3)`` array, or ``(N, 6)`` with normals
                           in the last three columns
``npz``                    the arrays ``points`` and optional ``normals``
``las``, ``laz``           ``x y z`` and optional extra dimensions ``nx ny
                           nz`` (needs the ``las`` extra: laspy)
=========================  ================================================

Every problem with a file's contents raises one ``PointCloudFileError`` (a
``ValueError``) whose message starts with the file name; a cloud is never
returned shorter than the file says it is. A missing or unreadable file
raises the usual ``OSError``.
"""

from __future__ import annotations

import os
import re
from pathlib import Path

import numpy as np

__all__ = ["FORMATS", "PointCloudFileError", "format_for", "read_points", "write_points"]

#: Format names accepted by ``format=``; each is also a recognised extension.
FORMATS = ("ply", "pcd", "xyz", "txt", "csv", "npy", "npz", "las", "laz")

_NORMAL_NAMES = (("nx", "ny", "nz"), ("normal_x", "normal_y", "normal_z"))


class PointCloudFileError(ValueError):
    """A point-cloud file that cannot be read or written as asked."""

    def __init__(self, path, problem: str):
        self.path = os.fspath(path)
        self.problem = problem
        super().__init__(f"{self.path}: {problem}")


# --------------------------------------------------------------------------- public API


def read_points(path, format: str | None = None):
    """Reads a point cloud; returns ``(points, normals or None)`` as float64 arrays."""
    fmt = format_for(path, format)
    if os.path.isfile(path) and os.path.getsize(path) == 0:
        raise PointCloudFileError(path, "the file is empty")
    points, normals = _READERS[fmt](path)
    return _checked_cloud(path, points, normals)


def write_points(path, points, normals=None, format: str | None = None, *, binary: bool = True):
    """Writes ``points`` (and ``normals`` when given) to ``path``.

    ``binary`` picks binary PLY/PCD (default, exact and compact) or their ASCII
    forms; text formats always write every value with round-trip precision.
    """
    fmt = format_for(path, format)
    points, normals = _checked_cloud(path, points, normals)
    if fmt in ("ply", "pcd"):
        _WRITERS[fmt](path, points, normals, binary)
    else:
        _WRITERS[fmt](path, points, normals)


# --------------------------------------------------------------------------- shared checks


def format_for(path, fmt: str | None = None) -> str:
    """The format name ``read_points``/``write_points`` would use for ``path``."""
    if fmt is None:
        fmt = Path(os.fspath(path)).suffix.lstrip(".")
        if not fmt:
            raise PointCloudFileError(
                path, f"cannot tell the format without an extension; pass format= one of {', '.join(FORMATS)}")
    fmt = fmt.lower().lstrip(".")
    if fmt not in FORMATS:
        raise PointCloudFileError(
            path, f"unknown point-cloud format '{fmt}'; expected one of {', '.join(FORMATS)}")
    return fmt


def _as_cloud(path, array, what: str) -> np.ndarray:
    try:
        array = np.asarray(array, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise PointCloudFileError(path, f"{what} are not numeric: {exc}") from None
    if array.ndim != 2 or array.shape[1] != 3:
        raise PointCloudFileError(path, f"{what} must have shape (N, 3), got {list(array.shape)}")
    return np.ascontiguousarray(array)


def _checked_cloud(path, points, normals):
    points = _as_cloud(path, points, "points")
    if normals is not None:
        normals = _as_cloud(path, normals, "normals")
        if len(normals) != len(points):
            raise PointCloudFileError(path, f"{len(points)} points but {len(normals)} normals")
    return points, normals


def _normal_columns(names) -> tuple[str, str, str] | None:
    lowered = {name.lower(): name for name in names}
    for triple in _NORMAL_NAMES:
        if all(n in lowered for n in triple):
            return tuple(lowered[n] for n in triple)
    return None


# --------------------------------------------------------------------------- PLY


def _read_ply(path):
    plyfile = _import_plyfile()
    is_ascii = _ply_is_ascii(path)
    mode, kwargs = ("r", {"encoding": "latin-1"}) if is_ascii else ("rb", {})
    with open(path, mode, **kwargs) as stream:
        try:
            ply = plyfile.PlyData.read(stream, mmap=False)
        except (plyfile.PlyParseError, ValueError, UnicodeDecodeError, EOFError) as exc:
            raise PointCloudFileError(path, f"malformed PLY file: {exc}") from None
        rest = stream.read()
    if rest.strip() if is_ascii else rest:
        raise PointCloudFileError(
            path, "the file holds more data than its header declares (wrong element count?)")
    if "vertex" not in ply:
        raise PointCloudFileError(path, "PLY file has no 'vertex' element")
    vertex = ply["vertex"].data
    names = vertex.dtype.names or ()
    points = _ply_columns(path, vertex, ("x", "y", "z"))
    triple = _normal_columns(names)
    normals = _ply_columns(path, vertex, triple) if triple else None
    return points, normals


def _ply_is_ascii(path) -> bool:
    with open(path, "rb") as stream:
        if stream.readline(16).rstrip(b"\r\n") != b"ply":
            raise PointCloudFileError(path, "not a PLY file (the first line is not 'ply')")
        for _ in range(10_000):
            line = stream.readline(4096)
            if not line or line.startswith(b"end_header"):
                break
            words = line.split()
            if words[:1] == [b"format"] and len(words) >= 2:
                return words[1] == b"ascii"
    raise PointCloudFileError(path, "PLY header has no 'format' line")


def _ply_columns(path, vertex, names) -> np.ndarray:
    columns = []
    for name in names:
        if name not in (vertex.dtype.names or ()):
            raise PointCloudFileError(path, f"PLY vertex element has no property '{name}'")
        column = vertex[name]
        if column.dtype.kind not in "fiu":
            raise PointCloudFileError(path, f"PLY vertex property '{name}' is not a number")
        columns.append(column.astype(np.float64))
    return np.stack(columns, axis=1)


def _write_ply(path, points, normals, binary):
    plyfile = _import_plyfile()
    names = ["x", "y", "z"] + (["nx", "ny", "nz"] if normals is not None else [])
    rows = np.empty(len(points), dtype=[(name, "<f8") for name in names])
    for i, name in enumerate(names):
        rows[name] = points[:, i] if i < 3 else normals[:, i - 3]
    element = plyfile.PlyElement.describe(rows, "vertex")
    plyfile.PlyData([element], text=not binary, byte_order="<").write(os.fspath(path))


def _import_plyfile():
    try:
        import plyfile
    except ImportError:  # pragma: no cover - plyfile is a declared dependency
        raise PointCloudFileError("<ply>", "reading PLY files needs the 'plyfile' package") from None
    return plyfile


# --------------------------------------------------------------------------- PCD

_PCD_TYPES = {("F", 4): "<f4", ("F", 8): "<f8", ("I", 1): "i1", ("I", 2): "<i2", ("I", 4): "<i4",
              ("I", 8): "<i8", ("U", 1): "u1", ("U", 2): "<u2", ("U", 4): "<u4", ("U", 8): "<u8"}


def _read_pcd(path):
    with open(path, "rb") as stream:
        header = _read_pcd_header(path, stream)
        body = stream.read()
    dtype = _pcd_dtype(path, header)
    triple = _normal_columns(header["fields"])
    for name in ("x", "y", "z") + (triple or ()):
        if name not in header["fields"]:
            raise PointCloudFileError(path, f"PCD file has no field '{name}'")
        if dtype[name].shape:
            raise PointCloudFileError(path, f"PCD field '{name}' must have COUNT 1")
    rows = _pcd_rows(path, header["data"], body, dtype, header["points"])
    points = np.stack([rows[n].astype(np.float64) for n in ("x", "y", "z")], axis=1)
    normals = np.stack([rows[n].astype(np.float64) for n in triple], axis=1) if triple else None
    return points, normals


def _pcd_rows(path, kind: str, body: bytes, dtype: np.dtype, count: int) -> np.ndarray:
    if kind == "ascii":
        return _pcd_ascii_rows(path, body, dtype, count)
    if kind == "binary":
        return _pcd_binary_rows(path, body, dtype, count)
    if kind == "binary_compressed":
        raise PointCloudFileError(
            path, "PCD 'DATA binary_compressed' is not supported; save the cloud as binary or ascii")
    raise PointCloudFileError(path, f"unknown PCD data kind '{kind}'")


def _read_pcd_header(path, stream) -> dict:
    entries = {}
    while "DATA" not in entries:
        line = stream.readline(1 << 16)
        if not line:
            raise PointCloudFileError(path, "PCD header ends before its DATA line")
        text = line.decode("latin-1").strip()
        if not text or text.startswith("#"):
            continue
        key, _, value = text.partition(" ")
        entries[key.upper()] = value.split()
    return _parse_pcd_header(path, entries)


def _parse_pcd_header(path, entries) -> dict:
    for key in ("FIELDS", "SIZE", "TYPE"):
        if key not in entries:
            raise PointCloudFileError(path, f"PCD header has no {key} line")
    fields = entries["FIELDS"]
    counts = entries.get("COUNT", ["1"] * len(fields))
    if not (len(fields) == len(entries["SIZE"]) == len(entries["TYPE"]) == len(counts)):
        raise PointCloudFileError(path, "PCD header lines FIELDS, SIZE, TYPE and COUNT differ in length")
    sizes = [_pcd_int(path, "SIZE", v) for v in entries["SIZE"]]
    counts = [_pcd_int(path, "COUNT", v) for v in counts]
    width = _pcd_int(path, "WIDTH", entries["WIDTH"][0]) if entries.get("WIDTH") else None
    height = _pcd_int(path, "HEIGHT", entries["HEIGHT"][0]) if entries.get("HEIGHT") else 1
    points = _pcd_int(path, "POINTS", entries["POINTS"][0]) if entries.get("POINTS") else None
    if points is None and width is None:
        raise PointCloudFileError(path, "PCD header has neither POINTS nor WIDTH")
    if points is None:
        points = width * height
    elif width is not None and width * height != points:
        raise PointCloudFileError(
            path, f"PCD header says WIDTH*HEIGHT = {width * height} but POINTS = {points}")
    data = entries["DATA"][0].lower() if entries["DATA"] else ""
    return {"fields": fields, "sizes": sizes, "types": [t.upper() for t in entries["TYPE"]],
            "counts": counts, "points": points, "data": data}


def _pcd_int(path, key: str, text: str) -> int:
    if not re.fullmatch(r"\d+", text):
        raise PointCloudFileError(path, f"PCD header {key} value '{text}' is not a count")
    return int(text)


def _pcd_dtype(path, header) -> np.dtype:
    parts = []
    for i, (name, size, kind, count) in enumerate(
            zip(header["fields"], header["sizes"], header["types"], header["counts"])):
        code = _PCD_TYPES.get((kind, size))
        if code is None:
            raise PointCloudFileError(path, f"PCD field '{name}' has unsupported TYPE {kind} SIZE {size}")
        # '_' marks padding and may repeat; give each its own unique name.
        unique = name if name != "_" else f"_pad{i}"
        parts.append((unique, code, (count,)) if count != 1 else (unique, code))
    try:
        return np.dtype(parts)
    except (TypeError, ValueError) as exc:
        raise PointCloudFileError(path, f"PCD FIELDS cannot be laid out: {exc}") from None


def _pcd_ascii_rows(path, body: bytes, dtype: np.dtype, count: int) -> np.ndarray:
    lines = [line for line in body.decode("latin-1").splitlines() if line.strip()]
    if len(lines) != count:
        raise PointCloudFileError(path, f"PCD header declares {count} points but the file holds {len(lines)}")
    widths = [int(np.prod(dtype[name].shape or (1,))) for name in dtype.names]
    values = _parse_numeric_lines(path, lines, lambda i: f"point {i}", None,
                                  list(range(sum(widths))), exact_width=sum(widths))
    rows = np.empty(count, dtype=dtype)
    column = 0
    for name, width in zip(dtype.names, widths):
        block = values[:, column:column + width]
        rows[name] = block if dtype[name].shape else block[:, 0]
        column += width
    return rows


def _pcd_binary_rows(path, body: bytes, dtype: np.dtype, count: int) -> np.ndarray:
    expected = count * dtype.itemsize
    if len(body) < expected:
        raise PointCloudFileError(
            path, f"PCD file is truncated: {count} points need {expected} bytes, found {len(body)}")
    if len(body) > expected:
        raise PointCloudFileError(
            path, f"PCD file holds {len(body) - expected} bytes more than its {count} points")
    return np.frombuffer(body, dtype=dtype, count=count)


def _write_pcd(path, points, normals, binary):
    names = ["x", "y", "z"] + (["normal_x", "normal_y", "normal_z"] if normals is not None else [])
    data = points if normals is None else np.hstack([points, normals])
    n = len(names)
    header = ("# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\n"
              f"FIELDS {' '.join(names)}\nSIZE {' '.join(['8'] * n)}\nTYPE {' '.join(['F'] * n)}\n"
              f"COUNT {' '.join(['1'] * n)}\nWIDTH {len(data)}\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\n"
              f"POINTS {len(data)}\nDATA {'binary' if binary else 'ascii'}\n")
    with open(path, "wb") as stream:
        stream.write(header.encode("ascii"))
        if binary:
            stream.write(np.ascontiguousarray(data, dtype="<f8").tobytes())
        else:
            stream.write(_format_rows(data, " ").encode("ascii"))


# --------------------------------------------------------------------------- text


def _read_text(path):
    with open(path, encoding="utf-8", errors="replace") as stream:
        numbered = [(i + 1, line) for i, line in enumerate(stream)
                    if line.strip() and not line.lstrip().startswith("#")]
    if not numbered:
        return np.empty((0, 3)), None
    delimiter = "," if "," in numbered[0][1] else None
    columns, has_normals = [0, 1, 2], False
    first = [field.strip() for field in numbered[0][1].split(delimiter)]
    if not _all_numbers(first):
        numbered = numbered[1:]
        columns, has_normals = _text_header_columns(first)
    values = _parse_numeric_lines(path, [line for _, line in numbered],
                                  lambda i: f"line {numbered[i][0]}", delimiter, columns)
    return values[:, :3], (values[:, 3:6] if has_normals else None)


def _text_header_columns(names) -> tuple[list[int], bool]:
    lowered = [name.lower() for name in names]
    if not all(axis in lowered for axis in ("x", "y", "z")):
        return [0, 1, 2], False
    columns = [lowered.index(axis) for axis in ("x", "y", "z")]
    triple = _normal_columns(lowered)
    if triple:
        columns += [lowered.index(name) for name in triple]
    return columns, triple is not None


def _all_numbers(fields) -> bool:
    try:
        for field in fields[:3]:
            float(field)
    except ValueError:
        return False
    return len(fields) >= 3


def _parse_numeric_lines(path, lines, label_of, delimiter, columns, exact_width=None):
    """Parses rows of numbers fast, or names the first bad row when that fails."""
    if not lines:
        return np.empty((0, len(columns)))
    try:
        if exact_width is not None and any(len(line.split(delimiter)) != exact_width for line in lines):
            raise ValueError("row width")
        return np.loadtxt(lines, delimiter=delimiter, usecols=columns, ndmin=2, dtype=np.float64,
                          comments=None)
    except ValueError:
        pass
    needed = exact_width if exact_width is not None else max(columns) + 1
    for index, line in enumerate(lines):
        label = label_of(index)
        fields = [f.strip() for f in line.split(delimiter)]
        if len(fields) < needed or (exact_width is not None and len(fields) != exact_width):
            raise PointCloudFileError(path, f"{label}: expected {needed} values, found {len(fields)}")
        for column in columns:
            try:
                float(fields[column])
            except ValueError:
                raise PointCloudFileError(path, f"{label}: '{fields[column]}' is not a number") from None
    raise PointCloudFileError(path, "the rows could not be read as numbers")


def _format_rows(data: np.ndarray, separator: str) -> str:
    # repr() gives the shortest text that reads back to the same double.
    return "".join(separator.join(map(repr, row)) + "\n" for row in data.tolist())


def _write_delimited(path, points, normals, separator: str, always_header: bool):
    data = points if normals is None else np.hstack([points, normals])
    names = ["x", "y", "z"] + (["nx", "ny", "nz"] if normals is not None else [])
    header = separator.join(names) + "\n" if normals is not None or always_header else ""
    with open(path, "w", encoding="ascii") as stream:
        stream.write(header + _format_rows(data, separator))


def _write_text(path, points, normals):
    _write_delimited(path, points, normals, " ", always_header=False)


def _write_csv(path, points, normals):
    _write_delimited(path, points, normals, ",", always_header=True)


# --------------------------------------------------------------------------- NumPy


def _read_npy(path):
    array = _load_numpy(path)
    if not isinstance(array, np.ndarray):
        raise PointCloudFileError(path, "expected a .npy array, found an .npz archive")
    array = _numeric_array(path, array, "the array")
    if array.ndim == 2 and array.shape[1] == 6:
        return array[:, :3], array[:, 3:]
    if array.ndim != 2 or array.shape[1] != 3:
        raise PointCloudFileError(path, f"expected an array of shape (N, 3) or (N, 6), got {list(array.shape)}")
    return array, None


def _read_npz(path):
    archive = _load_numpy(path)
    if isinstance(archive, np.ndarray):
        raise PointCloudFileError(path, "expected an .npz archive, found a single .npy array")
    with archive:
        keys = list(archive.keys())
        if "points" not in keys:
            raise PointCloudFileError(
                path, f"the archive has no array 'points' (found: {', '.join(keys) or 'none'})")
        points = _numeric_array(path, _npz_member(path, archive, "points"), "'points'")
        normals = None
        if "normals" in keys:
            normals = _numeric_array(path, _npz_member(path, archive, "normals"), "'normals'")
    return points, normals


def _load_numpy(path):
    try:
        # Pickled objects could run arbitrary code: refuse them.
        return np.load(path, allow_pickle=False)
    except (ValueError, EOFError, OSError) as exc:
        if isinstance(exc, FileNotFoundError | PermissionError | IsADirectoryError):
            raise
        raise PointCloudFileError(path, f"not a readable NumPy file: {exc}") from None


def _npz_member(path, archive, key):
    try:
        return archive[key]
    except Exception as exc:  # zipfile/format errors surface here, one per member
        raise PointCloudFileError(path, f"array '{key}' cannot be read: {exc}") from None


def _numeric_array(path, array, what):
    if array.dtype.kind not in "fiub":
        raise PointCloudFileError(path, f"{what} has non-numeric dtype {array.dtype}")
    return array.astype(np.float64)


def _write_npy(path, points, normals):
    data = points if normals is None else np.hstack([points, normals])
    with open(path, "wb") as stream:  # np.save would append '.npy' to other names
        np.save(stream, data)


def _write_npz(path, points, normals):
    arrays = {"points": points} if normals is None else {"points": points, "normals": normals}
    with open(path, "wb") as stream:
        np.savez_compressed(stream, **arrays)


# --------------------------------------------------------------------------- LAS / LAZ


def _import_laspy(path):
    try:
        import laspy
    except ImportError:
        raise PointCloudFileError(
            path, "LAS/LAZ files need the optional 'laspy' package: pip install 'tarvo[las]'") from None
    return laspy


def _read_las(path):
    laspy = _import_laspy(path)
    try:
        las = laspy.read(os.fspath(path))
        points = np.stack([np.asarray(las.x), np.asarray(las.y), np.asarray(las.z)], axis=1)
        names = list(las.point_format.extra_dimension_names)
        triple = _normal_columns(names)
        normals = np.stack([np.asarray(las[n]) for n in triple], axis=1) if triple else None
    except (laspy.errors.LaspyException, ValueError, EOFError) as exc:
        raise PointCloudFileError(path, _las_problem("malformed LAS/LAZ file", exc)) from None
    return points.astype(np.float64), None if normals is None else normals.astype(np.float64)


def _write_las(path, points, normals):
    laspy = _import_laspy(path)
    if not np.all(np.isfinite(points)):
        raise PointCloudFileError(path, "LAS/LAZ cannot store non-finite coordinates")
    header = laspy.LasHeader(point_format=0, version="1.2")
    offsets, scales = _las_quantisation(points)
    header.offsets, header.scales = offsets, scales
    if normals is not None:
        header.add_extra_dims([laspy.ExtraBytesParams(name=n, type=np.float64) for n in ("nx", "ny", "nz")])
    las = laspy.LasData(header)
    las.x, las.y, las.z = points[:, 0], points[:, 1], points[:, 2]
    if normals is not None:
        las.nx, las.ny, las.nz = normals[:, 0], normals[:, 1], normals[:, 2]
    try:
        las.write(os.fspath(path))
    except laspy.errors.LaspyException as exc:
        raise PointCloudFileError(path, _las_problem("cannot write LAS/LAZ", exc)) from None


def _las_problem(what: str, exc: Exception) -> str:
    if "LazBackend" in str(exc):
        return "compressed LAZ needs a LAZ backend: pip install 'laspy[lazrs]'"
    return f"{what}: {exc}"


def _las_quantisation(points):
    """LAS stores 32-bit integers: pick an offset and the finest decimal step that fits."""
    if len(points) == 0:
        return np.zeros(3), np.full(3, 1e-3)
    offsets = np.floor(points.min(axis=0))
    extent = np.maximum(np.abs(points - offsets).max(axis=0), 1e-300)
    scales = 10.0 ** np.maximum(np.ceil(np.log10(extent / 2.0e9)), -9)
    return offsets, scales


_READERS = {"ply": _read_ply, "pcd": _read_pcd, "xyz": _read_text, "txt": _read_text,
            "csv": _read_text, "npy": _read_npy, "npz": _read_npz, "las": _read_las, "laz": _read_las}
_WRITERS = {"ply": _write_ply, "pcd": _write_pcd, "xyz": _write_text, "txt": _write_text,
            "csv": _write_csv, "npy": _write_npy, "npz": _write_npz, "las": _write_las, "laz": _write_las}
