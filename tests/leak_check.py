#!/usr/bin/env python3
"""Runs every success and error path of the module a few times under a memory checker
and fails if the checker blames the module.

    leak_check.py run [--repeat N]
        Exercise every scenario N times with whatever `tarvo` is importable.
    leak_check.py asan --module _tarvo.abi3.so --tbb-lib DIR [--repeat N]
        Run the scenarios in a child interpreter whose `tarvo` package carries an
        extension built with -fsanitize=address,undefined. The interpreter itself is
        not instrumented and leaves objects behind at exit that LeakSanitizer reports,
        so a report fails the check only when one of its stacks runs through the
        module's own code; any AddressSanitizer or UndefinedBehaviorSanitizer error
        fails it outright.
    leak_check.py valgrind [--repeat N]
        The same under valgrind's memcheck with the installed package: fails on
        invalid reads/writes or on "definitely lost" blocks allocated by the module.
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
OWN_FRAME = re.compile(r"_tarvo|tarvo::")


def run_scenarios(repeat):
    sys.path.insert(0, os.path.join(HERE, "python"))
    import scenarios

    for name, call in scenarios.SUCCESS:
        for _ in range(repeat):
            call()
    for name, call in scenarios.ERRORS:
        for _ in range(repeat):
            try:
                call()
            except scenarios.ERROR_TYPES:
                continue
            raise SystemExit(f"{name}: expected an error")
    print(f"{len(scenarios.ALL)} scenarios x {repeat} calls with {scenarios._tarvo.__file__}")


def sanitizer_runtime():
    path = subprocess.run(["g++", "-print-file-name=libasan.so"], capture_output=True, text=True,
                          check=True).stdout.strip()
    if not os.path.isabs(path):
        raise SystemExit("libasan.so not found")
    return path


def staged_package(module, workdir):
    """A copy of the Python package with the instrumented extension inside."""
    package = os.path.join(workdir, "tarvo")
    shutil.copytree(os.path.join(ROOT, "python", "tarvo"), package,
                    ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    shutil.copy(module, package)
    return workdir


def leak_blocks(report):
    """The stacks of each leak in a LeakSanitizer report."""
    return re.split(r"\n(?=(?:Direct|Indirect) leak of )", report)[1:]


def check_asan(args):
    with tempfile.TemporaryDirectory() as workdir:
        env = dict(os.environ)
        env.update(
            PYTHONPATH=staged_package(args.module, workdir),
            LD_PRELOAD=sanitizer_runtime(),
            LD_LIBRARY_PATH=os.pathsep.join(filter(None, [args.tbb_lib, env.get("LD_LIBRARY_PATH")])),
            PYTHONMALLOC="malloc",  # let LeakSanitizer see the interpreter's own blocks
            ASAN_OPTIONS=f"halt_on_error=1:detect_leaks=1:log_path={workdir}/asan",
            LSAN_OPTIONS="exitcode=0",  # leaks are judged below, by their stacks
            UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1",
        )
        child = subprocess.run([sys.executable, __file__, "run", "--repeat", str(args.repeat)], env=env,
                               cwd=workdir)
        reports = "".join(open(path, encoding="utf-8", errors="replace").read()
                          for path in glob.glob(os.path.join(workdir, "asan*")))
    errors = [line for line in reports.splitlines() if "ERROR: AddressSanitizer" in line or "runtime error:" in line]
    own_leaks = [block for block in leak_blocks(reports) if OWN_FRAME.search(block)]
    for block in own_leaks:
        print(block, file=sys.stderr)
    for line in errors:
        print(line, file=sys.stderr)
    total = len(leak_blocks(reports))
    print(f"sanitizer: exit {child.returncode}, {len(errors)} errors, {total} leak reports, "
          f"{len(own_leaks)} through tarvo")
    return 0 if child.returncode == 0 and not errors and not own_leaks else 1


def check_valgrind(args):
    with tempfile.TemporaryDirectory() as workdir:
        log = os.path.join(workdir, "memcheck.log")
        env = dict(os.environ, PYTHONMALLOC="malloc")
        child = subprocess.run(
            ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
             "--num-callers=40", f"--log-file={log}", sys.executable, __file__, "run", "--repeat",
             str(args.repeat)], env=env)
        report = open(log, encoding="utf-8", errors="replace").read()
    invalid = re.findall(r"Invalid (?:read|write|free)|uninitialised value", report)
    records = re.split(r"\n==\d+== \n", report)
    own_leaks = [r for r in records if "definitely lost" in r and OWN_FRAME.search(r)]
    for record in own_leaks:
        print(record, file=sys.stderr)
    print(f"valgrind: exit {child.returncode}, {len(invalid)} invalid accesses, {len(own_leaks)} leaks through tarvo")
    return 0 if child.returncode == 0 and not invalid and not own_leaks else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["run", "asan", "valgrind"])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--module", help="the instrumented extension (asan mode)")
    parser.add_argument("--tbb-lib", help="directory holding libtbb.so.12 (asan mode)")
    args = parser.parse_args()
    if args.mode == "run":
        run_scenarios(args.repeat)
        return 0
    if args.mode == "asan":
        if not args.module:
            parser.error("asan mode needs --module")
        return check_asan(args)
    return check_valgrind(args)


if __name__ == "__main__":
    sys.exit(main())
