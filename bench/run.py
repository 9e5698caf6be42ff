"""Command line of the benchmark suite: build the data, run every job in its own subprocess,
write the JSON, Markdown and PNG results."""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

from bench import data, machine, peers, plan, plot, report, rounds

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")
THREAD_VARIABLES = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python -m bench",
        description="Benchmark tarvo against SciPy, Open3D and small_gicp.")
    parser.add_argument("--quick", action="store_true",
                        help="10k and 100k points only, fewer repeats")
    parser.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")],
                        help="comma-separated synthetic sizes (default 10000,100000,1000000)")
    parser.add_argument("--threads", default="1,all",
                        help="comma-separated thread counts, 'all' for every usable CPU")
    parser.add_argument("--libraries", default=",".join(peers.LIBRARIES),
                        help="comma-separated subset of " + ", ".join(peers.LIBRARIES))
    parser.add_argument("--rounds", type=int,
                        help="run every timing job this many times and keep each measurement's "
                             f"best round (default {plan.FULL_ROUNDS}, 1 with --quick)")
    parser.add_argument("--no-bunny", action="store_true", help="skip the real scan pair")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory runs")
    parser.add_argument("--output", default=os.path.join(RESULTS, "latest"),
                        help="output path without extension (default bench/results/latest)")
    return parser.parse_args(argv)


def build_datasets(sizes, directory: str, with_bunny: bool) -> None:
    for n in sizes:
        data.save(data.synthetic(n), directory)
    if with_bunny:
        data.save(data.bunny(), directory)


def run_job(job: plan.Job, scratch: str) -> list[dict]:
    job_path = os.path.join(scratch, "job.json")
    result_path = os.path.join(scratch, "result.json")
    with open(job_path, "w", encoding="utf-8") as f:
        json.dump({"library": job.library, "threads": job.threads, "cpus": job.cpus,
                   "cases": job.cases}, f)
    env = dict(os.environ, **{name: str(job.threads) for name in THREAD_VARIABLES})
    env["PYTHONPATH"] = REPO + os.pathsep + env.get("PYTHONPATH", "")
    if os.path.exists(result_path):
        os.remove(result_path)
    completed = subprocess.run([sys.executable, "-m", "bench.worker", job_path, result_path],
                               env=env, cwd=REPO, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
    if completed.returncode != 0 or not os.path.exists(result_path):
        tail = completed.stderr.strip().splitlines()[-1:] or ["no output"]
        message = f"worker exited with status {completed.returncode}: {tail[0]}"
        return [{**case, "library": job.library, "threads": job.threads, "error": message}
                for case in job.cases]
    with open(result_path, encoding="utf-8") as f:
        return json.load(f)


def _clean(record: dict) -> dict:
    return {k: v for k, v in record.items() if k not in ("data_dir", "repeats")} | \
        {"repeats": len(record.get("times_s", [])) or record.get("repeats")}


def main(argv=None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    sizes = args.sizes or (plan.QUICK_SIZES if args.quick else plan.FULL_SIZES)
    threads = plan.thread_counts(args.threads)
    libraries = [name.strip() for name in args.libraries.split(",") if name.strip()]
    with_memory = not args.no_memory
    round_count = args.rounds if args.rounds is not None else (1 if args.quick else plan.FULL_ROUNDS)
    if round_count < 1:
        raise SystemExit("--rounds must be at least 1")
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="tarvo-bench-") as scratch:
        build_datasets(sizes, scratch, not args.no_bunny)
        timing_jobs = plan.make_jobs(sizes, threads, libraries, args.quick, scratch, round_count,
                                     with_bunny=not args.no_bunny)
        # Peak memory does not depend on the machine's load: measured once.
        memory_jobs = plan.memory_jobs(sizes, libraries, scratch) if with_memory else []
        schedule = [(r, job) for r in range(1, round_count + 1) for job in timing_jobs]
        schedule += [(round_count, job) for job in memory_jobs]
        made: list[list[dict]] = [[] for _ in range(round_count)]
        for index, (round_number, job) in enumerate(schedule, 1):
            t0 = time.perf_counter()
            new = [_clean(r) for r in run_job(job, scratch)]
            made[round_number - 1] += new
            errors = sum(1 for r in new if "error" in r)
            print(f"[{index}/{len(schedule)}] round {round_number}: {job.label}: "
                  f"{time.perf_counter() - t0:.1f} s"
                  + (f", {errors} failed: {new[-1]['error']}" if errors else ""), flush=True)
    records = rounds.best_of_rounds(made)
    results = {
        "machine": machine.describe(REPO),
        "config": {"sizes": list(sizes), "threads": threads, "libraries": libraries,
                   "quick": args.quick, "rounds": round_count,
                   "command": "python -m bench " + " ".join(
                       sys.argv[1:] if argv is None else argv)},
        "wall_time_s": time.perf_counter() - started,
        "records": records,
    }
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    with open(args.output + ".json", "w", encoding="utf-8") as f:
        json.dump(results, f, indent=1)
    with open(args.output + ".md", "w", encoding="utf-8") as f:
        f.write(report.markdown(results))
    plot.draw(results, args.output + ".png")
    print(f"wrote {args.output}.json, .md and .png in {results['wall_time_s']:.0f} s")
    return 0
