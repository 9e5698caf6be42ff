import subprocess
import sys

import pytest

import tarvo
from tarvo import _tarvo


def test_version_and_methods():
    assert _tarvo.__version__ == "0.1.0"
    assert _tarvo.METHODS == ["icp", "fast_icp", "robust_icp", "point_to_plane", "robust_point_to_plane"]
    assert tarvo.__version__ == "0.1.0"


def test_methods_list_is_fresh_per_import_and_mutation_is_harmless():
    _tarvo.METHODS.append("bogus")
    try:
        assert _tarvo.METHODS[-1] == "bogus"
    finally:
        _tarvo.METHODS.pop()


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
