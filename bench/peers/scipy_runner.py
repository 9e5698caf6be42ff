"""SciPy's cKDTree: the nearest-neighbour floor only (it has no registration)."""

from __future__ import annotations

from bench import timing

LIBRARY = "scipy"
METHODS = ()
END_TO_END_METHODS = ()

_cKDTree = None


def setup(threads: int) -> None:
    global _cKDTree
    from scipy.spatial import cKDTree

    _cKDTree = cKDTree


def floor(ds, threads: int, case: dict) -> dict:
    """Tree build and one exact query pass, timed apart; `best_s` is their sum."""
    queries = ds.source_at_truth if case["pose"] == "truth" else ds.source
    build_times, tree = timing.repeat(lambda: _cKDTree(ds.target), case["repeats"])
    query_times, _ = timing.repeat(lambda: tree.query(queries, k=1, workers=threads),
                                   case["repeats"])
    fields = timing.summary([b + q for b, q in zip(build_times, query_times)])
    fields.update(build_s=min(build_times), query_s=min(query_times), queries=len(queries))
    return fields
