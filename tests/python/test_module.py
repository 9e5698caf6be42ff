import subprocess
import sys

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


def test_imports_in_a_clean_interpreter_without_environment_help():
    # The extension must find libtbb through its own run path, with no LD_LIBRARY_PATH.
    env = {"PATH": "/usr/bin:/bin"}
    out = subprocess.run([sys.executable, "-c", "from tarvo import _tarvo; print(_tarvo.__version__)"],
                         capture_output=True, text=True, env=env, check=True)
    assert out.stdout.strip() == "0.1.0"
