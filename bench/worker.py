"""Subprocess that measures one library on a fixed set of CPUs.

Usage (by `bench.run` only): ``python -m bench.worker JOB.json RESULT.json``. The job names
the library, the thread count, the CPUs, the data directory and the cases. The CPU affinity
is restricted before any numerical library is imported, so thread pools that size themselves
from the affinity mask (tarvo's) see only those CPUs; the thread variables in the environment
are set by the parent for the same reason.
"""

from __future__ import annotations

import json
import os
import sys
import traceback


def _restrict_cpus(cpus: list[int]) -> None:
    os.sched_setaffinity(0, set(cpus))


def _status_bytes(field: str) -> int:
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024  # reported in kB
    raise RuntimeError(f"{field} missing from /proc/self/status")


def _reset_peak_rss() -> None:
    """Writing 5 to clear_refs resets the peak resident size to the current one (Linux), so
    the peak measured afterwards belongs to the call and not to imports or data loading."""
    with open("/proc/self/clear_refs", "w", encoding="ascii") as f:
        f.write("5")


def _run_case(runner, datasets: dict, threads: int, case: dict) -> dict:
    from bench import data

    if case["dataset"] not in datasets:
        datasets[case["dataset"]] = data.load(case["dataset"], case["data_dir"])
    ds = datasets[case["dataset"]]
    record = {key: case[key] for key in ("kind", "method", "dataset", "pose", "max_distance")
              if case.get(key) is not None}
    record.update(library=runner.LIBRARY, threads=threads, n=len(ds.source))
    measure = getattr(runner, case["kind"])
    if case["kind"] == "memory":
        _reset_peak_rss()
        before = _status_bytes("VmRSS")
        record.update(measure(ds, threads, case))
        peak = _status_bytes("VmHWM")
        extra = peak - before
        record.update(peak_rss_bytes=peak, peak_extra_bytes=extra,
                      bytes_per_point=extra / len(ds.source))
    else:
        record.update(measure(ds, threads, case))
    return record


def main(argv: list[str]) -> int:
    job_path, result_path = argv
    with open(job_path, encoding="utf-8") as f:
        job = json.load(f)
    _restrict_cpus(job["cpus"])
    from bench import peers

    records, datasets = [], {}
    try:
        runner = peers.load(job["library"])
        runner.setup(job["threads"])
    except Exception as error:  # a peer that cannot be imported is reported, not fatal
        message = f"{type(error).__name__}: {error}"
        records = [{**case, "library": job["library"], "threads": job["threads"],
                    "error": message} for case in job["cases"]]
    else:
        for case in job["cases"]:
            try:
                records.append(_run_case(runner, datasets, job["threads"], case))
            except Exception as error:
                traceback.print_exc()
                records.append({**case, "library": job["library"], "threads": job["threads"],
                                "error": f"{type(error).__name__}: {error}"})
    with open(result_path, "w", encoding="utf-8") as f:
        json.dump(records, f)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
