import importlib.util
import subprocess
import sys

import pytest

import tarvo
from tarvo import _tarvo


def test_version_and_methods():
    assert _tarvo.__version__ == "0.1.0"
    assert _tarvo.METHODS == ["icp", "fast_icp", "robust_icp", "point_to_plane", "robust_point_to_plane"]
    assert tarvo.__version__ == "0.1.0"


def test_methods_list_is_informational_only():
    saved = list(_tarvo.METHODS)
    source = [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0]]
    _tarvo.METHODS[:] = ["bogus"]
    try:
        # Emptying the list keeps every real name accepted ...
        assert isinstance(_tarvo.register(source, source, method="icp"), _tarvo.Registration)
        # ... and a name added to it stays unknown; the message lists the fixed five.
        with pytest.raises(ValueError) as info:
            _tarvo.register(source, source, method="bogus")
        assert str(info.value) == ('unknown method "bogus"; expected one of "icp", "fast_icp", "robust_icp", '
                                   '"point_to_plane", "robust_point_to_plane"')
    finally:
        _tarvo.METHODS[:] = saved


def test_each_module_instance_gets_a_fresh_list_but_shares_the_class():
    spec = importlib.util.find_spec("tarvo._tarvo")
    second = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(second)
    assert second is not _tarvo
    assert second.METHODS == _tarvo.METHODS and second.METHODS is not _tarvo.METHODS
    assert second.Registration is _tarvo.Registration
    assert second.register.__self__ is second


@pytest.mark.parametrize("name, signature", [
    ("register", '(source, target, *, method="robust_icp", target_normals=None, init=None, max_iterations=None, '
                 "tolerance=None, anderson_m=None, nu_begin_k=None, nu_end_k=None, nu_alpha=None, "
                 "nu_neighbors=None, max_line_search=None, normalize=None, estimate_scale=None, "
                 "scale_bounds=None)"),
    ("estimate_normals", "(points, k=30)"),
])
def test_text_signatures(name, signature):
    assert getattr(_tarvo, name).__text_signature__ == signature


def test_attributes_are_added_in_execution_order():
    own = [k for k in vars(_tarvo) if not k.startswith("__") or k == "__version__"]
    assert own == ["__version__", "METHODS", "Registration", "register", "estimate_normals"]
    assert _tarvo.__doc__ == ""


@pytest.mark.parametrize("name", ["register", "estimate_normals"])
def test_functions_belong_to_the_module(name):
    function = getattr(_tarvo, name)
    assert function.__module__ == "tarvo._tarvo"
    assert function.__name__ == name
    assert function.__self__ is _tarvo


@pytest.mark.parametrize("name", ["register", "estimate_normals", "Registration", "METHODS", "__version__"])
def test_package_reexports_the_extension(name):
    assert getattr(tarvo, name) is getattr(_tarvo, name)


def test_package_docstring_has_a_usage_example():
    assert "tarvo.register(" in tarvo.__doc__


def test_imports_in_a_clean_interpreter_without_environment_help():
    # The extension must find libtbb through its own run path, with no LD_LIBRARY_PATH.
    env = {"PATH": "/usr/bin:/bin"}
    out = subprocess.run([sys.executable, "-c", "from tarvo import _tarvo; print(_tarvo.__version__)"],
                         capture_output=True, text=True, env=env, check=True)
    assert out.stdout.strip() == "0.1.0"


def test_import_does_not_load_numpy():
    # NumPy's C interface is looked up on first use, not at import.
    code = "import sys; import tarvo; print('numpy' in sys.modules, tarvo.__version__)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "0.1.0"]


def test_first_use_loads_numpy_on_demand():
    code = ("import sys; from tarvo import _tarvo\n"
            "n = _tarvo.estimate_normals([[0, 0, 0], [1, 0, 0], [0, 1, 0]], k=3)\n"
            "print('numpy' in sys.modules, type(n).__module__, n.shape)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "True numpy (3, 3)"


# A process that exits as soon as its last call returns, while the worker pool's threads
# may still be starting up or parking, must exit cleanly: the pool is joined at exit.
EXIT_AFTER_POOL_CALL = """
import numpy as np
from tarvo import _tarvo
pts = np.random.default_rng({seed}).normal(size=(3000, 3))
_tarvo.register(pts, pts + 0.01, max_iterations=2)
_tarvo.estimate_normals(pts, k=8)
"""


def test_processes_exit_cleanly_right_after_pool_work():
    for seed in range(6):
        out = subprocess.run([sys.executable, "-c", EXIT_AFTER_POOL_CALL.format(seed=seed)],
                             capture_output=True, text=True, timeout=120)
        assert (out.returncode, out.stderr) == (0, ""), seed


# The join at exit must not wait for a call that another thread still has running.
EXIT_DURING_DAEMON_CALL = """
import threading, time, numpy as np
from tarvo import _tarvo
pts = np.random.default_rng(0).normal(size=(100000, 3))
started = threading.Event()
def work():
    started.set()
    _tarvo.register(pts, pts + 0.01, max_iterations=100000, tolerance=0.0)
threading.Thread(target=work, daemon=True).start()
started.wait()
time.sleep(0.5)  # well inside the registration by now
print("leaving")
"""


def test_exit_does_not_wait_for_a_daemon_threads_call():
    out = subprocess.run([sys.executable, "-c", EXIT_DURING_DAEMON_CALL], capture_output=True, text=True,
                         timeout=60)
    assert (out.returncode, out.stdout.strip()) == (0, "leaving")
