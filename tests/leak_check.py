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
    leak_check.py asan-pytest --module ... --tbb-lib DIR TEST_FILE...
        pytest on the given files with the instrumented extension; memory errors
        fail, leaks are not looked for (pytest keeps objects until exit).
    leak_check.py valgrind [--repeat N]
        The same under valgrind's memcheck with the installed package: fails on
        invalid accesses or "definitely lost" blocks whose stacks run through the
        module. Slow (minutes), so it is run by hand rather than in CI.
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


def sanitizer_env(args, workdir, detect_leaks):
    env = dict(os.environ)
    env.update(
        PYTHONPATH=staged_package(args.module, workdir),
        LD_PRELOAD=sanitizer_runtime(),
        LD_LIBRARY_PATH=os.pathsep.join(filter(None, [args.tbb_lib, env.get("LD_LIBRARY_PATH")])),
        PYTHONMALLOC="malloc",  # let the sanitizer see the interpreter's own blocks
        # NumPy's BLAS otherwise leaves an idle thread of its own at exit, and the leak
        # checker's tracer, stopping it there, crashed in 4 of 100 runs (0 of 100 without it).
        OPENBLAS_NUM_THREADS="1",
        # Oversized requests fail as they would without the sanitizer (MemoryError), so
        # that the tests of that path run here too.
        ASAN_OPTIONS=(f"halt_on_error=1:detect_leaks={int(detect_leaks)}:allocator_may_return_null=1:"
                      f"exitcode={LEAK_EXIT_CODE}:log_path={workdir}/asan"),
        UBSAN_OPTIONS=f"halt_on_error=1:print_stacktrace=1:log_path={workdir}/asan",
    )
    return env


def sanitizer_reports(workdir):
    return "".join(open(path, encoding="utf-8", errors="replace").read()
                   for path in glob.glob(os.path.join(workdir, "asan*")))


# The exit status the sanitizer is told to give a process it stops (for leaks, the only
# thing it reports without an error line); any other failure of the child, such as an
# uncaught exception's status 1, stays a failure.
LEAK_EXIT_CODE = 23


def sanitizer_errors(reports):
    return [line for line in reports.splitlines() if "ERROR: AddressSanitizer" in line or "runtime error:" in line]


def judge_sanitizer_run(returncode, reports):
    errors = sanitizer_errors(reports)
    own_leaks = [block for block in leak_blocks(reports) if OWN_FRAME.search(block)]
    if returncode == LEAK_EXIT_CODE and not errors and "ERROR: LeakSanitizer" in reports:
        returncode = 0  # the interpreter's own leftovers at exit; judged by their stacks above
    if errors or returncode != 0:
        print(reports, file=sys.stderr)
    for block in own_leaks:
        print(block, file=sys.stderr)
    print(f"sanitizer: exit {returncode}, {len(errors)} errors, {len(leak_blocks(reports))} leak reports, "
          f"{len(own_leaks)} through tarvo")
    return 0 if returncode == 0 and not errors and not own_leaks else 1


# LeakSanitizer's own tracer thread, which stops every thread at exit to scan their
# stacks, has crashed now and then ("Tracer caught signal 11 ... LeakSanitizer has
# encountered a fatal error"): the checker failed and found nothing, so such a run is
# made again, twice at most. Any report of the code's own is judged at once.
CHECKER_CRASH = "LeakSanitizer has encountered a fatal error"
SCENARIOS_DONE = re.compile(r"^\d+ scenarios x \d+ calls with ", re.MULTILINE)
CHECKER_ATTEMPTS = 3


def check_asan(args):
    for attempt in range(1, CHECKER_ATTEMPTS + 1):
        with tempfile.TemporaryDirectory() as workdir:
            env = sanitizer_env(args, workdir, detect_leaks=True)
            child = subprocess.run([sys.executable, __file__, "run", "--repeat", str(args.repeat)], env=env,
                                   cwd=workdir, stdout=subprocess.PIPE, text=True)
            reports = sanitizer_reports(workdir)
        print(child.stdout, end="")
        if CHECKER_CRASH in reports and not sanitizer_errors(reports) and attempt < CHECKER_ATTEMPTS:
            print(f"sanitizer: the leak checker itself crashed (attempt {attempt}); running again", file=sys.stderr)
            continue
        # The leak check at exit sets the exit status of its own, so the scenarios prove
        # they ran to the end by their closing line.
        if SCENARIOS_DONE.search(child.stdout) is None:
            print("sanitizer: the scenarios did not run to the end", file=sys.stderr)
            return judge_sanitizer_run(1, reports)
        return judge_sanitizer_run(child.returncode, reports)


def check_asan_pytest(args):
    """pytest on the given files with the instrumented extension (memory errors only:
    pytest and hypothesis keep objects alive until exit)."""
    with tempfile.TemporaryDirectory() as workdir:
        env = sanitizer_env(args, workdir, detect_leaks=False)
        child = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *args.tests],
                               env=env, cwd=workdir)
        return judge_sanitizer_run(child.returncode, sanitizer_reports(workdir))


def check_valgrind(args):
    with tempfile.TemporaryDirectory() as workdir:
        log = os.path.join(workdir, "memcheck.log")
        env = dict(os.environ, PYTHONMALLOC="malloc")
        child = subprocess.run(
            ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
             "--num-callers=40", f"--log-file={log}", sys.executable, __file__, "run", "--repeat",
             str(args.repeat)], env=env)
        report = open(log, encoding="utf-8", errors="replace").read()
    records = re.split(r"\n==\d+== \n", report)
    # The interpreter is not built for valgrind and draws reports of its own (its small
    # integer cache, for one); only those whose stacks run through the module count.
    invalid = [r for r in records if re.search(r"Invalid (?:read|write|free)|uninitialised", r)
               and OWN_FRAME.search(r)]
    own_leaks = [r for r in records if "definitely lost" in r and OWN_FRAME.search(r)]
    for record in invalid + own_leaks:
        print(record, file=sys.stderr)
    print(f"valgrind: exit {child.returncode}, {len(invalid)} invalid accesses and {len(own_leaks)} leaks "
          f"through tarvo")
    return 0 if child.returncode == 0 and not invalid and not own_leaks else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["run", "asan", "asan-pytest", "valgrind"])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--module", help="the instrumented extension (asan mode)")
    parser.add_argument("--tbb-lib", help="directory holding libtbb.so.12 (asan modes)")
    parser.add_argument("tests", nargs="*", help="test files (asan-pytest mode)")
    args = parser.parse_intermixed_args()
    if args.mode == "run":
        run_scenarios(args.repeat)
        return 0
    if args.mode in ("asan", "asan-pytest"):
        if not args.module:
            parser.error(f"{args.mode} mode needs --module")
        return check_asan(args) if args.mode == "asan" else check_asan_pytest(args)
    return check_valgrind(args)


if __name__ == "__main__":
    sys.exit(main())
