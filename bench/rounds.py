"""Several rounds of the same timing jobs, and the best round of each measurement.

On a shared machine a burst of load can last longer than one job's repeats and spoil a
whole row. With the jobs run again minutes later, such a burst spoils at most one round
of a measurement, and the round with the least best time is kept.
"""

from __future__ import annotations

# What makes two records the same measurement.
KEY_FIELDS = ("library", "threads", "kind", "dataset", "method", "pose", "max_distance")


def measurement_key(record: dict) -> tuple:
    return tuple(record.get(field) for field in KEY_FIELDS)


def _rank(record: dict) -> tuple[int, float]:
    """Records without an error first, then the least best time."""
    if "error" in record:
        return (1, 0.0)
    best = record.get("best_s")
    return (0, best if best is not None else float("inf"))


def best_of_rounds(rounds: list[list[dict]]) -> list[dict]:
    """One record per measurement, in the order the measurements first appear: of the
    rounds that made it, the one with the least best time (a failed round only when
    every round failed), with the best time of every round that timed it in
    "round_best_s"."""
    chosen: dict[tuple, dict] = {}
    round_bests: dict[tuple, list[float]] = {}
    for records in rounds:
        for record in records:
            key = measurement_key(record)
            if record.get("best_s") is not None and "error" not in record:
                round_bests.setdefault(key, []).append(record["best_s"])
            if key not in chosen or _rank(record) < _rank(chosen[key]):
                chosen[key] = record
    merged = []
    for key, record in chosen.items():
        if len(round_bests.get(key, [])) > 1:
            record = {**record, "round_best_s": round_bests[key]}
        merged.append(record)
    return merged
