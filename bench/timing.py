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


def summary(times: list[float]) -> dict[str, Any]:
    """Best and median of the repeats; the best is the least disturbed by other load."""
    return {"times_s": times, "best_s": min(times), "median_s": statistics.median(times)}
