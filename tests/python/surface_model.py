"""An executable model of what the module surface must answer for a given call.

The fuzz suites generate arbitrary arguments; this module predicts, from the arguments
alone, either the exact exception (type, message, argument note) or "a result", by
walking the documented order of conversions and checks. The model never calls tarvo.
"""

import math
import operator
import unicodedata
import warnings

import numpy as np

METHODS = ("icp", "fast_icp", "robust_icp", "point_to_plane", "robust_point_to_plane")
POINT_TO_PLANE = ("point_to_plane", "robust_point_to_plane")
INIT_HINT = "'centroids', 'identity', or a 4x4 matrix"
NORMALS_REQUIRED = ("point-to-plane registration requires target normals; pass them to "
                    "`register_with_normals` or estimate them with `estimate_normals`")
OTHER_GRAPHEME_EXTEND = [
    (0x09BE, 0x09BE), (0x09D7, 0x09D7), (0x0B3E, 0x0B3E), (0x0B57, 0x0B57), (0x0BBE, 0x0BBE),
    (0x0BD7, 0x0BD7), (0x0CC2, 0x0CC2), (0x0CD5, 0x0CD6), (0x0D3E, 0x0D3E), (0x0D57, 0x0D57),
    (0x0DCF, 0x0DCF), (0x0DDF, 0x0DDF), (0x1B35, 0x1B35), (0x200C, 0x200C), (0x302E, 0x302F),
    (0xFF9E, 0xFF9F), (0x1133E, 0x1133E), (0x11357, 0x11357), (0x114B0, 0x114B0),
    (0x114BD, 0x114BD), (0x115AF, 0x115AF), (0x11930, 0x11930), (0x1D165, 0x1D165),
    (0x1D16E, 0x1D172), (0xE0020, 0xE007F),
]


class Expected(Exception):
    """The predicted failure: exception type, exact message (None: not predicted) and note."""

    def __init__(self, kind, message=None, note=None, result_allowed=False):
        super().__init__(kind, message, note)
        self.kind, self.message, self.note = kind, message, note
        # Where rounding inside a decomposition decides, a result is as good as the error.
        self.result_allowed = result_allowed


class Result:
    """The predicted success, with what the checks of the result need to know."""

    def __init__(self, **facts):
        self.__dict__.update(facts)


def _noted(name, error):
    return Expected(type(error), str(error), f"while processing '{name}'")


# ---------------------------------------------------------------------------
# Conversion rules

def rule_array(name, obj):
    """Rule A: anything NumPy turns into a float64 array, which must be two-dimensional."""
    if isinstance(obj, np.ndarray) and obj.ndim == 2 and obj.dtype == np.float64:
        return obj
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            array = np.asarray(obj, dtype=np.float64)
    except Exception as error:  # noqa: BLE001 - NumPy's own error is the expected one
        raise _noted(name, error) from None
    if array.ndim != 2:
        raise Expected(TypeError, None, f"while processing '{name}'")
    return array


def rule_index(name, obj):
    try:
        value = operator.index(obj)
    except TypeError:
        raise Expected(TypeError, None, f"while processing '{name}'") from None
    if value < 0 or value >= 2**64:
        raise Expected(OverflowError, None, f"while processing '{name}'")
    return value


def rule_real(name, obj):
    """Rule R: float, or anything with __float__ or __index__ (a str has neither)."""
    kind = type(obj)
    if not (isinstance(obj, float) or hasattr(kind, "__float__") or hasattr(kind, "__index__")):
        raise Expected(TypeError, None, f"while processing '{name}'")
    try:
        return float(obj)
    except (OverflowError, TypeError, ValueError) as error:
        raise Expected(type(error), None, f"while processing '{name}'") from None


def rule_bool(name, obj):
    if obj is True or obj is False or isinstance(obj, np.bool_):
        return bool(obj)
    raise Expected(TypeError, None, f"while processing '{name}'")


def rule_pair(name, obj):
    if not isinstance(obj, tuple):
        raise Expected(TypeError, None, f"while processing '{name}'")
    if len(obj) != 2:
        raise Expected(ValueError, f"expected tuple of length 2, but got tuple of length {len(obj)}",
                       f"while processing '{name}'")
    return rule_real(name, obj[0]), rule_real(name, obj[1])


# ---------------------------------------------------------------------------
# Texts

def _hidden(c):
    code = ord(c)
    if code < 0x80:
        return not 0x20 <= code < 0x7F
    category = unicodedata.category(c)
    return (category in ("Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs", "Mn", "Me")
            or any(lo <= code <= hi for lo, hi in OTHER_GRAPHEME_EXTEND))


def quoted(text):
    escapes = {"\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0", '"': '\\"', "\\": "\\\\"}
    out = []
    for c in text:
        if c in escapes:
            out.append(escapes[c])
        elif _hidden(c):
            out.append("\\u{%x}" % ord(c))
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


def shape_text(array):
    return f"[{array.shape[0]}, {array.shape[1]}]"


def invalid(message):
    return Expected(ValueError, "invalid configuration: " + message)


def non_finite(subject):
    return Expected(ValueError, f"{subject} contained a non-finite value")


# ---------------------------------------------------------------------------
# register

CONVERSIONS = [
    ("max_iterations", rule_index), ("tolerance", rule_real), ("anderson_m", rule_index),
    ("nu_begin_k", rule_real), ("nu_end_k", rule_real), ("nu_alpha", rule_real),
    ("nu_neighbors", rule_index), ("max_line_search", rule_index), ("normalize", rule_bool),
    ("estimate_scale", rule_bool), ("scale_bounds", rule_pair),
]


def _convert_register_arguments(source, target, kwargs):
    converted = {"source": rule_array("source", source), "target": rule_array("target", target)}
    method = kwargs.get("method", "robust_icp")
    if not isinstance(method, str):
        raise Expected(TypeError, None, "while processing 'method'")
    if not _is_utf8(method):
        raise Expected(UnicodeEncodeError, None, "while processing 'method'")
    converted["method"] = method
    normals = kwargs.get("target_normals")
    converted["target_normals"] = None if normals is None else rule_array("target_normals", normals)
    for name, rule in CONVERSIONS:
        value = kwargs.get(name)
        converted[name] = None if value is None else rule(name, value)
    return converted


def _options(c):
    method = c["method"]
    options = {
        "max_iterations": 10 if method == "robust_point_to_plane" else 100, "tolerance": 1e-5,
        "anderson_m": 5, "nu_begin_k": 3.0,
        "nu_end_k": 0.16666666666666666 if method in POINT_TO_PLANE else 0.19245008972987526,
        "nu_alpha": 0.5, "nu_neighbors": 7, "max_line_search": 8, "normalize": True,
        "scale_bounds": (0.1, 10.0),
    }
    options.update({k: v for k, v in c.items() if k in options and v is not None})
    options["estimate_scale"] = (c["scale_bounds"] is not None if c["estimate_scale"] is None
                                 else c["estimate_scale"])
    return options


def _is_utf8(text):
    try:
        text.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


def _parse_init(init):
    """None / 'centroids' / 'identity' / a float64 (4, 4) array."""
    if init is None:
        return None
    if isinstance(init, str) and _is_utf8(init):
        lowered = "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in init)
        if lowered in ("centroids", "identity"):
            return lowered
        raise Expected(ValueError, f"unknown init {quoted(init)}; expected {INIT_HINT}")
    try:
        matrix = rule_array("init", init)
    except Expected:
        raise Expected(ValueError, f"init must be {INIT_HINT}") from None
    if matrix.shape != (4, 4):
        raise Expected(ValueError, f"init matrix must have shape (4, 4), got {shape_text(matrix)}")
    return matrix


def _take_cloud(name, array):
    if array.shape[1] != 3:
        raise Expected(ValueError, f"{name} must have shape (N, 3), got {shape_text(array)}")
    return np.array(array, dtype=np.float64, order="C")


def _validate_options(o, method, init):
    if o["max_iterations"] == 0:
        raise invalid("max_iterations must be at least 1")
    if not (math.isfinite(o["tolerance"]) and o["tolerance"] >= 0.0):
        raise invalid("tolerance must be finite and >= 0")
    if o["anderson_m"] == 0:
        raise invalid("anderson_m must be at least 1")
    for name in ("nu_begin_k", "nu_end_k"):
        if not (math.isfinite(o[name]) and o[name] > 0.0):
            raise invalid(f"{name} must be finite and > 0")
    if not 0.0 < o["nu_alpha"] < 1.0:
        raise invalid("nu_alpha must lie in (0, 1)")
    if o["nu_neighbors"] < 2:
        raise invalid("nu_neighbors must be at least 2")
    if o["estimate_scale"]:
        if method in POINT_TO_PLANE:
            raise Expected(ValueError, "`estimate_scale` is only implemented for icp, fast_icp, robust_icp")
        lower, upper = o["scale_bounds"]
        if not (math.isfinite(lower) and math.isfinite(upper) and lower > 0.0):
            raise invalid("scale_bounds must be finite with a positive lower bound")
        if lower > upper:
            raise invalid("scale_bounds lower bound exceeds the upper bound")
    if isinstance(init, np.ndarray):
        _validate_init_matrix(init)


def _validate_init_matrix(m):
    top = m[:3]
    if not np.isfinite(top).all():
        raise non_finite("the initial transform")
    block = top[:, :3]
    if not np.any(block):
        raise invalid("the initial transform must have a positive scale")
    largest = np.abs(block).max()
    if largest < 1e-290 or largest > 1e300:
        # The mean singular value may round to zero or overflow: either outcome is sound.
        raise Expected(ValueError, None, result_allowed=True)


def _check_clouds(source, target, normals, method):
    if len(source) == 0:
        raise Expected(ValueError, "the source point cloud is empty")
    if len(target) == 0:
        raise Expected(ValueError, "the target point cloud is empty")
    if not np.isfinite(source).all():
        raise non_finite("the source point cloud")
    if not np.isfinite(target).all():
        raise non_finite("the target point cloud")
    if normals is None:
        return
    if len(normals) != len(target):
        raise Expected(ValueError, f"target has {len(target)} points but {len(normals)} normals were supplied")
    if method not in POINT_TO_PLANE:
        return
    if not np.isfinite(normals).all():
        raise non_finite("the target normals")
    with np.errstate(all="ignore"):
        squared = (normals[:, 0] * normals[:, 0] + normals[:, 1] * normals[:, 1]) + normals[:, 2] * normals[:, 2]
    zero = np.flatnonzero(squared == 0.0)
    if len(zero):
        raise Expected(ValueError, f"target normal {zero[0]} has zero length")


def predict_register(source, target, kwargs):
    """Result(...) or raises Expected: the answer `register(source, target, **kwargs)` owes."""
    c = _convert_register_arguments(source, target, kwargs)
    method = c["method"]
    if method not in METHODS:
        names = ", ".join(f'"{m}"' for m in METHODS)
        raise Expected(ValueError, f"unknown method {quoted(method)}; expected one of {names}")
    options = _options(c)
    init = _parse_init(kwargs.get("init"))
    source_cloud = _take_cloud("source", c["source"])
    target_cloud = _take_cloud("target", c["target"])
    normals = None if c["target_normals"] is None else _take_cloud("target_normals", c["target_normals"])
    if method in POINT_TO_PLANE and normals is None:
        raise Expected(ValueError, NORMALS_REQUIRED)
    _validate_options(options, method, init)
    _check_clouds(source_cloud, target_cloud, normals, method)
    return Result(method=method, options=options, source=source_cloud, target=target_cloud)


# ---------------------------------------------------------------------------
# estimate_normals and Registration.apply

def predict_estimate_normals(points, k_given, k):
    array = rule_array("points", points)
    k_value = rule_index("k", k) if k_given else 30
    cloud = _take_cloud("points", array)
    if len(cloud) == 0:
        raise Expected(ValueError, "the target point cloud is empty")
    if k_value < 3:
        raise invalid("estimate_normals needs k >= 3 to fit a plane")
    if not np.isfinite(cloud).all():
        raise non_finite("the point cloud")
    return Result(points=cloud, k=k_value)


def predict_apply(points):
    return Result(points=_take_cloud("points", rule_array("points", points)))


def reference_apply(rotation, translation, scale, points):
    """The documented arithmetic of `apply`, elementwise in NumPy (IEEE, same grouping)."""
    with np.errstate(all="ignore"):
        u = points * scale
        rows = [(rotation[i, 2] * u[:, 2] + (rotation[i, 1] * u[:, 1] + rotation[i, 0] * u[:, 0])) + translation[i]
                for i in range(3)]
    return np.stack(rows, axis=1) if len(points) else np.empty((0, 3))
