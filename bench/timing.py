"""Wall-clock timing of repeated calls."""

from __future__ import annotations

import statistics
import time
from typing import Any, Callable


def repeat(call: Callable[[], Any], repeats: int) -> tuple[list[float], Any]:
    """Run `call` `repeats` times; return the wall times in seconds and the last result."""
    times, result = [], None
    for _ in range(max(1, repeats)):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return times, result


def repeat_interleaved(calls: list[Callable[[], Any]], repeats: int) -> tuple[list[list[float]], list[Any]]:
    """Run the calls in turn, `repeats` rounds; return each call's wall times and last result.
    Rows that are differences of such calls are then measured through the same phases of
    a shared machine's load, not one call in a quiet minute and the other in a busy one."""
    times: list[list[float]] = [[] for _ in calls]
    results: list[Any] = [None for _ in calls]
    for _ in range(max(1, repeats)):
        for k, call in enumerate(calls):
            start = time.perf_counter()
            results[k] = call()
            times[k].append(time.perf_counter() - start)
    return times, results


def summary(times: list[float]) -> dict[str, Any]:
    """Best and median of the repeats; the best is the least disturbed by other load."""
    return {"times_s": times, "best_s": min(times), "median_s": statistics.median(times)}
