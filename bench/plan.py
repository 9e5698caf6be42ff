"""Which measurements a run makes: jobs (one subprocess each) and their cases."""

from __future__ import annotations

import os
from dataclasses import dataclass, field

from bench import data, peers

FULL_SIZES = (10_000, 100_000, 1_000_000)
# Rounds of every timing job in a full run (bench.rounds keeps each measurement's best).
FULL_ROUNDS = 2
QUICK_SIZES = (10_000, 100_000)
# Peers' end-to-end runs are also made with a cut-off a user might choose for the bunny
# (about 7 % of its size), since all-points fits are biased on partly overlapping scans.
END_TO_END_CUTOFFS = (None, 0.01)


@dataclass
class Job:
    library: str
    threads: int
    cpus: list[int]
    cases: list[dict] = field(default_factory=list)

    @property
    def label(self) -> str:
        datasets = sorted({c["dataset"] for c in self.cases})
        kinds = sorted({c["kind"] for c in self.cases})
        return f"{self.library} x{self.threads} {','.join(datasets)} [{','.join(kinds)}]"


def thread_counts(spec: str) -> list[int]:
    """'1,all' -> [1, usable CPUs], without duplicates."""
    usable = len(os.sched_getaffinity(0))
    counts = []
    for item in spec.split(","):
        count = usable if item.strip() == "all" else int(item)
        if not 1 <= count <= usable:
            raise ValueError(f"thread count {count} outside 1..{usable}")
        if count not in counts:
            counts.append(count)
    return counts


def iteration_budget(n: int) -> int:
    """`max_iterations` for the per-iteration timing: about as many as a registration from a
    fair start takes, so that the tree build and the first search are spread as a real run
    spreads them, and few enough that the million-point runs stay short. Every method gets
    the same budget; the robust methods spend it once per stage of their shrinking Welsch
    parameter, so their one-off neighbour statistic is spread over their stages as in a
    real run."""
    if n <= 20_000:
        return 30
    if n <= 200_000:
        return 20
    return 6


def _per_round(total: int, rounds: int) -> int:
    """A case's share of `total` repeats in each of `rounds` rounds, rounded up."""
    return -(-total // rounds)


def repeats_for(n: int, quick: bool, rounds: int = 1) -> int:
    """Repeats per round: best of about this many in all, enough that a neighbour's burst
    on a shared machine rarely decides a row, shared out over the rounds."""
    if n <= 20_000:
        total = 3 if quick else 7
    elif n <= 200_000:
        total = 1 if quick else 5
    else:
        total = 1 if quick else 3
    return _per_round(total, rounds)


def _synthetic_cases(runner, n: int, quick: bool, data_dir: str, rounds: int) -> list[dict]:
    base = {"dataset": data.synthetic_name(n), "data_dir": data_dir,
            "repeats": repeats_for(n, quick, rounds)}
    cases = []
    if hasattr(runner, "floor"):
        cases.append({**base, "kind": "floor", "pose": "truth"})
    for method in runner.METHODS:
        cases.append({**base, "kind": "iteration", "method": method,
                      "max_iterations": iteration_budget(n)})
    if hasattr(runner, "normals"):
        cases.append({**base, "kind": "normals"})
    return cases


def _bunny_cases(runner, quick: bool, data_dir: str, rounds: int) -> list[dict]:
    base = {"dataset": data.BUNNY_NAME, "data_dir": data_dir,
            "repeats": 1 if quick else _per_round(3, rounds)}
    cases = []
    if hasattr(runner, "floor"):
        cases += [{**base, "kind": "floor", "pose": pose} for pose in ("identity", "truth")]
    cutoffs = (None,) if runner.LIBRARY == "tarvo" else END_TO_END_CUTOFFS
    for cutoff in cutoffs:
        for method in runner.END_TO_END_METHODS:
            cases.append({**base, "kind": "end_to_end", "method": method,
                          "max_distance": cutoff})
    return cases


def _memory_jobs(runner, n: int, cpus: list[int], data_dir: str) -> list[Job]:
    """One subprocess per method, so each peak resident size belongs to one registration."""
    if not hasattr(runner, "memory"):
        return []
    case = {"dataset": data.synthetic_name(n), "data_dir": data_dir, "kind": "memory",
            "max_iterations": 1, "repeats": 1}
    return [Job(runner.LIBRARY, len(cpus), cpus, [{**case, "method": m}])
            for m in runner.METHODS]


def make_jobs(sizes, threads: list[int], libraries, quick: bool, data_dir: str, rounds: int = 1,
              with_bunny: bool = True) -> list[Job]:
    """The timing jobs of one round, ordered so that every peer runs right next to tarvo
    on the same data and thread count, which keeps them under the same background load;
    each case repeats its calls its share of the repeats for `rounds` rounds."""
    # Fewer threads than CPUs take the last ones: the first CPU carries most of the
    # machine's own interrupts and housekeeping.
    cpus = sorted(os.sched_getaffinity(0))
    runners = [peers.load(name) for name in libraries]
    jobs = []
    groups = [(n, t) for n in sizes for t in threads]
    for n, t in groups:
        for runner in runners:
            cases = _synthetic_cases(runner, n, quick, data_dir, rounds)
            if cases:
                jobs.append(Job(runner.LIBRARY, t, cpus[-t:], cases))
    if with_bunny:
        for t in threads:
            for runner in runners:
                cases = _bunny_cases(runner, quick, data_dir, rounds)
                if cases:
                    jobs.append(Job(runner.LIBRARY, t, cpus[-t:], cases))
    return jobs


def memory_jobs(sizes, libraries, data_dir: str) -> list[Job]:
    """Peak memory of one registration at the largest size, per library and method, on
    every usable CPU."""
    cpus = sorted(os.sched_getaffinity(0))
    jobs = []
    for name in libraries:
        jobs += _memory_jobs(peers.load(name), max(sizes), cpus, data_dir)
    return jobs
