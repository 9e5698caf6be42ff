"""The benchmark keeps, of several rounds of the same jobs, each measurement's best round."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
rounds = pytest.importorskip("bench.rounds")


def record(best, library="tarvo", method="icp", threads=1, **extra):
    return {"library": library, "threads": threads, "kind": "iteration", "dataset": "synthetic-10000",
            "method": method, "best_s": best, **extra}


def test_each_measurement_keeps_its_fastest_round_in_first_seen_order():
    first = [record(3.0), record(5.0, method="fast_icp"), record(7.0, threads=2)]
    second = [record(4.0), record(2.0, method="fast_icp"), record(7.5, threads=2)]
    merged = rounds.best_of_rounds([first, second])
    assert [(r["method"], r["threads"], r["best_s"]) for r in merged] == [
        ("icp", 1, 3.0), ("fast_icp", 1, 2.0), ("icp", 2, 7.0)]
    assert [r["round_best_s"] for r in merged] == [[3.0, 4.0], [5.0, 2.0], [7.0, 7.5]]


@pytest.mark.parametrize("failed_round", [0, 1])
def test_a_failed_round_gives_way_to_a_timed_one(failed_round):
    made = [[record(1.0)], [record(1.0)]]
    made[failed_round] = [{**record(None), "error": "worker exited with status 1: boom"}]
    (merged,) = rounds.best_of_rounds(made)
    assert "error" not in merged and merged["best_s"] == 1.0 and "round_best_s" not in merged


def test_measurements_made_once_or_failing_everywhere_are_kept():
    memory = {"library": "tarvo", "threads": 2, "kind": "memory", "dataset": "synthetic-1000000",
              "method": "icp", "bytes_per_point": 190.0}
    failing = [{**record(None, library="open3d"), "error": "ImportError: no open3d"}]
    merged = rounds.best_of_rounds([failing, failing + [memory]])
    assert merged == [failing[0], memory]
