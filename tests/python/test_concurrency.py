"""Many Python threads registering at once: every result is bit-identical to the one
computed alone, and a long call does not keep other Python threads from running."""

import random
import threading
import time

import numpy as np
import pytest

from tarvo import _tarvo

THREADS = 8
CALLS_PER_THREAD = 200
SIZES = (60, 400, 1500)


def make_job(index):
    """A small registration problem; method and size vary with the index."""
    rng = np.random.default_rng(index)
    n = SIZES[index % len(SIZES)]
    u, v = rng.random(n) * 3.0, rng.random(n) * 3.0
    target = np.column_stack([u, v, 0.2 * np.sin(2.0 * u + v)])
    angle = 0.05 + 0.01 * (index % 7)
    c, s = np.cos(angle), np.sin(angle)
    rotation = np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])
    source = target[rng.permutation(n)] @ rotation.T + rng.normal(0.0, 0.05, 3)
    method = _tarvo.METHODS[index % len(_tarvo.METHODS)]
    kwargs = {"method": method, "max_iterations": 12}
    if method in ("point_to_plane", "robust_point_to_plane"):
        kwargs["target_normals"] = _tarvo.estimate_normals(target, k=10)
    if index % 10 == 1:
        kwargs["scale_bounds"] = (0.5, 2.0)
    return source, target, kwargs


def fingerprint(r):
    return (r.transform.tobytes(), r.iterations, r.converged, r.energy, r.rmse, r.inlier_rmse,
            r.inlier_ratio, r.nu, r.scale)


def run(job):
    source, target, kwargs = job
    return fingerprint(_tarvo.register(source, target, **kwargs))


@pytest.fixture(scope="module")
def jobs():
    return [make_job(i) for i in range(CALLS_PER_THREAD)]


def test_threaded_results_are_bit_identical_to_sequential(jobs):
    expected = [run(job) for job in jobs]
    failures = []
    results = {}

    def worker(seed):
        order = list(range(len(jobs)))
        random.Random(seed).shuffle(order)  # every thread meets the jobs in its own order
        try:
            results[seed] = {i: run(jobs[i]) for i in order}
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
    assert len(results) == THREADS
    for seed, by_index in results.items():
        mismatched = [i for i in range(len(jobs)) if by_index[i] != expected[i]]
        assert not mismatched, f"thread {seed}: jobs {mismatched[:10]} differ from the sequential results"


def test_mixed_entry_points_in_threads_match_sequential(jobs):
    """register, estimate_normals and apply interleaved across threads."""
    registration = _tarvo.register(*jobs[0][:2], method="icp")
    clouds = [job[1] for job in jobs[:24]]
    expected = [(_tarvo.estimate_normals(c, k=8).tobytes(), registration.apply(c).tobytes()) for c in clouds]
    outcomes = [None] * len(clouds)

    def worker(i):
        outcomes[i] = (_tarvo.estimate_normals(clouds[i], k=8).tobytes(), registration.apply(clouds[i]).tobytes())

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(clouds))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert outcomes == expected


def longest_gap(stamps, start, end):
    """The longest stretch of [start, end] in which no stamp was taken."""
    inside = [start] + [t for t in stamps if start < t < end] + [end]
    return max(b - a for a, b in zip(inside, inside[1:]))


@pytest.mark.parametrize("entry", ["register", "estimate_normals"])
def test_other_threads_run_during_a_long_call(entry):
    """A ticker thread takes a time stamp every millisecond. If the call held the
    interpreter lock, the ticker would be frozen for the whole call: one gap as long as
    the call. Released, the ticker keeps going and its gaps stay short."""
    rng = np.random.default_rng(9)
    cloud = rng.random((150_000, 3))
    stamps, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        time.sleep(0.05)
        start = time.perf_counter()
        if entry == "register":
            _tarvo.register(cloud, cloud + 0.01, method="robust_icp", max_iterations=30)
        else:
            _tarvo.estimate_normals(cloud, k=30)
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    duration = end - start
    assert duration > 0.05, "the call was too short to show anything"
    ticks_inside = sum(start < t < end for t in stamps)
    assert ticks_inside >= 10
    assert longest_gap(stamps, start, end) < 0.5 * duration
