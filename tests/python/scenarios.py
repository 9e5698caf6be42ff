"""Every way into the module on tiny inputs: each success path and each documented
error path, as (name, call) pairs. Shared by the leak tests and by tests/leak_check.py,
which runs them under AddressSanitizer/LeakSanitizer or valgrind."""

import numpy as np

from tarvo import _tarvo

RNG = np.random.default_rng(3)
# 64 points: a leaked copy of one cloud (1.5 KB) per call is plain to see in RSS.
SOURCE = RNG.random((64, 3))
TARGET = SOURCE @ np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]]).T + [0.2, -0.1, 0.3]
NORMALS = np.tile([0.0, 0.0, 1.0], (64, 1))
FORTRAN = np.asfortranarray(SOURCE)
LIST = SOURCE[:5].tolist()
NAN_CLOUD = SOURCE.copy()
NAN_CLOUD[7, 1] = np.nan
ZERO_NORMALS = NORMALS.copy()
ZERO_NORMALS[4] = 0.0
INIT = np.eye(4)
INIT[:3, 3] = [0.1, 0.2, 0.3]
RESULT = _tarvo.register(SOURCE, TARGET, method="icp")


def _register(**kwargs):
    return lambda: _tarvo.register(SOURCE, TARGET, **kwargs)


SUCCESS = [
    *[(f"register/{method}", _register(method=method, target_normals=NORMALS, max_iterations=3))
      for method in _tarvo.METHODS],
    ("register/scale", _register(method="fast_icp", scale_bounds=(0.5, 2.0), max_iterations=3)),
    ("register/init matrix", _register(method="icp", init=INIT, max_iterations=3)),
    ("register/init identity", _register(method="icp", init="IDENTITY", max_iterations=3)),
    ("register/converted input", lambda: _tarvo.register(FORTRAN, LIST, method="icp", max_iterations=3)),
    ("estimate_normals", lambda: _tarvo.estimate_normals(SOURCE, k=8)),
    ("estimate_normals/converted", lambda: _tarvo.estimate_normals(FORTRAN.astype(np.float32))),
    ("apply", lambda: RESULT.apply(SOURCE)),
    ("apply/converted", lambda: RESULT.apply(LIST)),
    ("attributes", lambda: (RESULT.transform, RESULT.rotation, RESULT.translation, RESULT.nu, repr(RESULT))),
]

ERRORS = [
    ("register/call shape", lambda: _tarvo.register(SOURCE)),
    ("register/source not 2-D", lambda: _tarvo.register(np.zeros(3), TARGET)),
    ("register/source not numeric", lambda: _tarvo.register([["a", "b", "c"]], TARGET)),
    ("register/target not 2-D", lambda: _tarvo.register(SOURCE, 5.0)),
    ("register/method type", _register(method=None)),
    ("register/normals not 2-D", _register(target_normals=np.zeros(3))),
    ("register/max_iterations overflow", _register(max_iterations=-1)),
    ("register/tolerance type", _register(tolerance="x")),
    ("register/normalize type", _register(normalize=1)),
    ("register/scale_bounds type", _register(scale_bounds=[0.5, 2.0])),
    ("register/scale_bounds length", _register(scale_bounds=(0.5,))),
    ("register/unknown method", _register(method="ICP\u0301")),
    ("register/unknown init", _register(init="Bogus\t")),
    ("register/init object", _register(init=object())),
    ("register/init shape", _register(init=np.eye(3))),
    ("register/source columns", lambda: _tarvo.register(SOURCE[:, :2], TARGET)),
    ("register/normals columns", _register(target_normals=NORMALS[:, :2])),
    ("register/normals required", _register(method="point_to_plane")),
    ("register/invalid option", _register(nu_alpha=1.0)),
    ("register/scale unsupported", _register(method="point_to_plane", target_normals=NORMALS, estimate_scale=True)),
    ("register/init non-finite", _register(init=np.full((4, 4), np.nan))),
    ("register/empty source", lambda: _tarvo.register(np.empty((0, 3)), TARGET)),
    ("register/non-finite source", lambda: _tarvo.register(NAN_CLOUD, TARGET)),
    ("register/normal count", _register(method="icp", target_normals=NORMALS[:5])),
    ("register/zero normal", _register(method="point_to_plane", target_normals=ZERO_NORMALS)),
    ("estimate_normals/not 2-D", lambda: _tarvo.estimate_normals(np.zeros(3))),
    ("estimate_normals/k type", lambda: _tarvo.estimate_normals(SOURCE, None)),
    ("estimate_normals/k overflow", lambda: _tarvo.estimate_normals(SOURCE, -1)),
    ("estimate_normals/columns", lambda: _tarvo.estimate_normals(SOURCE[:, :2])),
    ("estimate_normals/empty", lambda: _tarvo.estimate_normals(np.empty((0, 3)))),
    ("estimate_normals/small k", lambda: _tarvo.estimate_normals(SOURCE, 2)),
    ("estimate_normals/non-finite", lambda: _tarvo.estimate_normals(NAN_CLOUD)),
    ("apply/not 2-D", lambda: RESULT.apply(np.zeros(3))),
    ("apply/columns", lambda: RESULT.apply(SOURCE[:, :2])),
    ("apply/call shape", lambda: RESULT.apply()),
    ("Registration()", lambda: _tarvo.Registration()),
]

ALL = SUCCESS + ERRORS
ERROR_TYPES = (TypeError, ValueError, OverflowError)


def run(call):
    """One call; a documented error counts as done, anything else propagates."""
    try:
        call()
    except ERROR_TYPES:
        pass
