"""Each entry point, on its success path and on every error path, run 20,000 times:
resident memory, traced Python allocations, the references held on the inputs and
(on debug interpreters) the total reference count must stop growing."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import scenarios

CALLS = 20_000
ROUNDS = 4  # the first round warms caches and allocator pools; growth is measured after it
PAGE = os.sysconf("SC_PAGE_SIZE")
# A leak of one 64-point cloud per call would add 22 MB over the measured rounds, one of
# a small Python object 0.7 MB; allocator noise stays far below both.
RSS_SLACK = 2 * 1024 * 1024
TRACED_SLACK = 64 * 1024
REFCOUNT_SLACK = 100
INPUTS = [scenarios.SOURCE, scenarios.TARGET, scenarios.NORMALS, scenarios.FORTRAN, scenarios.NAN_CLOUD,
          scenarios.ZERO_NORMALS, scenarios.INIT, scenarios.RESULT]


def resident_bytes():
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * PAGE


def total_refcount():
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0


def sample():
    gc.collect()
    return resident_bytes(), tracemalloc.get_traced_memory()[0], total_refcount()


@pytest.fixture
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.parametrize("name, call", scenarios.ALL, ids=[name for name, _ in scenarios.ALL])
def test_repeated_calls_do_not_grow_memory(traced, name, call):
    references = [sys.getrefcount(obj) for obj in INPUTS]
    per_round = CALLS // ROUNDS
    samples = []
    for _ in range(ROUNDS):
        for _ in range(per_round):
            scenarios.run(call)
        samples.append(sample())
    (rss0, traced0, refs0), (rss1, traced1, refs1) = samples[0], samples[-1]
    assert rss1 - rss0 < RSS_SLACK, f"resident memory grew by {rss1 - rss0} bytes"
    assert traced1 - traced0 < TRACED_SLACK, f"traced Python memory grew by {traced1 - traced0} bytes"
    assert refs1 - refs0 < REFCOUNT_SLACK
    assert [sys.getrefcount(obj) for obj in INPUTS] == references, "a reference to an input was kept"


def test_every_error_scenario_raises_and_every_success_returns():
    """The scenarios above are only worth their time if they take the path they name."""
    for name, call in scenarios.SUCCESS:
        call()
    for name, call in scenarios.ERRORS:
        with pytest.raises(scenarios.ERROR_TYPES):
            call()


def test_returned_buffers_are_freed_with_their_last_view():
    """Arrays from estimate_normals and apply own their buffers: dropping the array and
    every view frees them, while a surviving view keeps the data intact."""
    big = np.random.default_rng(1).random((20_000, 3))
    result = scenarios.RESULT
    gc.collect()
    before = resident_bytes()
    for _ in range(200):
        moved = result.apply(big)
        view = moved[::2]
        del moved
        assert view.base is not None and view.shape == (10_000, 3)
        del view
    gc.collect()
    # 200 leaked 480 KB buffers would be 96 MB.
    assert resident_bytes() - before < 16 * 1024 * 1024
    moved = result.apply(big)
    view = moved[:5]
    expected = view.copy()
    del moved
    np.asarray(np.zeros(100_000)).sum()  # churn the allocator
    assert np.array_equal(view, expected)
