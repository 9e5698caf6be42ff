"""Markdown tables of one run's results."""

from __future__ import annotations

from bench import data

BUNNY_CREDIT = ("Bunny scans `bun045` and `bun000`: Stanford 3D Scanning Repository, Stanford "
                "University Computer Graphics Laboratory.")
LIBRARY_ORDER = ("tarvo", "scipy", "small_gicp", "open3d")


def _ms(seconds) -> str:
    return "—" if seconds is None else f"{1000.0 * seconds:.1f}" if seconds < 10 else \
        f"{1000.0 * seconds:.0f}"


def _num(value, digits=3) -> str:
    return "—" if value is None else f"{value:.{digits}f}"


def _ratio(value) -> str:
    return "—" if value is None else f"{value:.2f}×"


def _ok(records, kind):
    return [r for r in records if r.get("kind") == kind and "error" not in r]


def _size_label(n: int) -> str:
    return f"{n // 1_000_000}M" if n >= 1_000_000 and n % 1_000_000 == 0 else \
        f"{n // 1000}k" if n % 1000 == 0 else str(n)


def _dataset_label(record) -> str:
    if record["dataset"] == data.BUNNY_NAME:
        return f"bunny ({record.get('pose', '')})"
    return f"synthetic {_size_label(record['n'])}"


def _sort_key(record):
    library = record.get("library", "")
    rank = LIBRARY_ORDER.index(library) if library in LIBRARY_ORDER else len(LIBRARY_ORDER)
    return (record.get("dataset") == data.BUNNY_NAME, record.get("n", 0),
            record.get("pose", ""), rank)


def _index(records, *keys):
    """Records by (keys..., threads)."""
    return {tuple(r.get(k) for k in keys) + (r["threads"],): r for r in records}


def _rows(records, *keys):
    """Distinct key tuples in display order."""
    seen = []
    for r in sorted(records, key=_sort_key):
        key = tuple(r.get(k) for k in keys)
        if key not in seen:
            seen.append(key)
    return seen


def _table(header: list[str], rows: list[list[str]]) -> list[str]:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    return lines + ["| " + " | ".join(row) + " |" for row in rows]


def _rounds_text(results) -> str:
    count = results["config"].get("rounds", 1)
    return f" over {count} rounds of every timing job" if count > 1 else ""


def machine_section(results) -> list[str]:
    m = results["machine"]
    versions = ", ".join(f"{k} {v}" for k, v in m["packages"].items() if v)
    return [
        f"Machine: {m['cpu']}, {m['usable_cpus']} usable of {m['logical_cpus']} logical CPUs, "
        f"{m['memory_gib']} GiB, {m['os']}, Python {m['python']}.",
        f"Software: {versions}; tarvo revision {m['tarvo_revision']}.",
        f"Command: `{results['config']['command'].strip()}` ({m['date']}, "
        f"{results['wall_time_s']:.0f} s). Times are the best of the repeats{_rounds_text(results)}, "
        "wall clock.",
    ]


def floor_section(records, threads) -> list[str]:
    rows_ok = _ok(records, "floor")
    if not rows_ok:
        return []
    index = _index(rows_ok, "dataset", "pose", "library")
    header = ["Data", "Library"]
    for t in threads:
        header += [f"total ms ({t} thr)", f"query ms ({t} thr)", f"first pass ms ({t} thr)",
                   f"M queries/s ({t} thr)", f"later pass ms ({t} thr)", f"M queries/s, later ({t} thr)"]
    rows = []
    for key in _rows(rows_ok, "dataset", "pose", "library"):
        first = next(r for r in rows_ok if (r["dataset"], r.get("pose"), r["library"]) == key)
        row = [_dataset_label(first), key[2]]
        for t in threads:
            r = index.get(key + (t,))
            query = r and r.get("query_s")
            first = r and r.get("first_pass_s", query)  # a peer's query is its first pass
            rate = r["queries"] / first / 1e6 if first else None
            later = r and r.get("later_pass_s")
            later_rate = r["queries"] / later / 1e6 if later else None
            row += [_ms(r and r["best_s"]), _ms(query), _ms(first), _num(rate, 2), _ms(later), _num(later_rate, 1)]
        rows.append(row)
    return ["## Nearest-neighbour floor", "",
            "Every source point queried once against the target. Poses: `truth` queries from "
            "the ground-truth pose (a converged registration), `identity` from the scans as "
            "they are. tarvo's total is one `register(method=\"icp\", max_iterations=1)`: "
            "copy, tree build, a correspondence pass, one fit and the final pass; its query time "
            "is what the source adds to that call (the same call with a one-point source is "
            "subtracted): the source's copy and query order, the first pass with every point "
            "searched, the fit and the final pass. Its later pass is the cost of one more fit "
            "(a pass and a fit; averaged over five more from the ground truth, the second from "
            "the identity): there a point that moved less than its clearance keeps its answer "
            "without a search. Its first pass is the query time less the later pass: the "
            "source's copy and query order and the pass with every point searched; the rate is "
            "taken from it. The peers' total is their tree build plus one query pass, timed "
            "apart (small_gicp returns Python lists); their first pass is that query pass.",
            ""] + _table(header, rows)


def iteration_section(records, threads) -> list[str]:
    rows_ok = _ok(records, "iteration")
    if not rows_ok:
        return []
    index = _index(rows_ok, "n", "library", "method")
    header = ["N", "Library", "Method", "iterations"]
    for t in threads:
        header += [f"ms/iteration ({t} thr)", f"vs tarvo icp ({t} thr)"]
    if len(threads) > 1:
        header.append(f"speed-up {threads[0]}→{threads[-1]} thr")
    rows = []
    for key in _rows(rows_ok, "n", "library", "method"):
        some = next(index[key + (t,)] for t in threads if key + (t,) in index)
        row = [_size_label(key[0]), key[1], key[2], str(some.get("iterations"))]
        for t in threads:
            r = index.get(key + (t,))
            icp = index.get((key[0], "tarvo", "icp", t))
            ratio = r["per_iteration_s"] / icp["per_iteration_s"] if r and icp else None
            row += [_ms(r and r["per_iteration_s"]), _ratio(ratio)]
        if len(threads) > 1:
            a, b = index.get(key + (threads[0],)), index.get(key + (threads[-1],))
            row.append(_ratio(a["per_iteration_s"] / b["per_iteration_s"] if a and b else None))
        rows.append(row)
    return ["## Time per iteration", "",
            "Synthetic bumpy sphere, source a noisy shuffled copy of the target, started at "
            "the ground-truth pose (the steady state in which most iterations of a run are "
            "spent; far starts are costed by the bunny rows); a fixed iteration budget (tolerance 0, convergence thresholds 0), exact "
            "correspondences, no distance cut-off. Total wall time of the call (tree build "
            "included) divided by the iterations it reports; robust methods run several stages "
            "of the budget. `vs tarvo icp` > 1 means slower than tarvo's \"icp\".", ""] + \
        _table(header, rows)


def end_to_end_section(records, threads) -> list[str]:
    rows_ok = _ok(records, "end_to_end")
    if not rows_ok:
        return []
    index = _index(rows_ok, "library", "method", "max_distance")
    header = ["Library", "Method", "cut-off"] + [f"time ms ({t} thr)" for t in threads] + \
        ["iterations", "rotation error °", "translation error mm"]
    rows = []
    for key in _rows(rows_ok, "library", "method", "max_distance"):
        last = next(index[key + (t,)] for t in reversed(threads) if key + (t,) in index)
        cutoff = "none" if key[2] is None else f"{1000 * key[2]:g} mm"
        row = [key[0], key[1], cutoff]
        row += [_ms(index[key + (t,)]["best_s"]) if key + (t,) in index else "—"
                for t in threads]
        row += [str(last.get("iterations")), _num(last["rotation_error_deg"], 3),
                _num(last["translation_error_mm"], 3)]
        rows.append(row)
    return ["## Bunny pair end to end", "",
            "From the identity (about 34° apart), library defaults otherwise (peers: at most 100 "
            "iterations); normals or covariances estimated inside the timing where a method "
            "needs them. Errors against the ground truth, from the run on the most threads.",
            ""] + _table(header, rows) + ["", BUNNY_CREDIT]


def normals_section(records, threads) -> list[str]:
    rows_ok = _ok(records, "normals")
    if not rows_ok:
        return []
    index = _index(rows_ok, "n", "library")
    header = ["N", "Library"] + [f"ms ({t} thr)" for t in threads]
    rows = []
    for key in _rows(rows_ok, "n", "library"):
        rows.append([_size_label(key[0]), key[1]] +
                    [_ms(index[key + (t,)]["best_s"]) if key + (t,) in index else "—"
                     for t in threads])
    return ["## Normal estimation (k = 30)", "",
            "Target of the synthetic set; tree build included."] + [""] + _table(header, rows)


def memory_section(records) -> list[str]:
    rows_ok = sorted(_ok(records, "memory"), key=_sort_key)
    if not rows_ok:
        return []
    rows = [[_size_label(r["n"]), r["library"], r["method"],
             f"{r['peak_extra_bytes'] / 2**20:.0f}", f"{r['bytes_per_point']:.0f}"]
            for r in rows_ok]
    return ["## Peak memory of one registration", "",
            "Rise of the process's peak resident size over the call (inputs already loaded; "
            "from the ground-truth pose; "
            "one iteration per stage, every thread; peers' cloud conversions included)."] + [""] + \
        _table(["N", "Library", "Method", "peak extra MiB", "bytes/point"], rows)


def failures_section(records) -> list[str]:
    failed = [r for r in records if "error" in r]
    if not failed:
        return []
    lines = ["## Failed measurements", ""]
    for r in failed:
        what = " ".join(str(r.get(k)) for k in ("library", "kind", "method", "dataset")
                        if r.get(k) is not None)
        lines.append(f"- {what}, {r.get('threads')} thr: {r['error']}")
    return lines


def markdown(results) -> str:
    records, threads = results["records"], results["config"]["threads"]
    sections = [["# tarvo benchmarks", ""] + machine_section(results),
                floor_section(records, threads), iteration_section(records, threads),
                end_to_end_section(records, threads), normals_section(records, threads),
                memory_section(records), failures_section(records)]
    return "\n\n".join("\n".join(s) for s in sections if s) + "\n"
