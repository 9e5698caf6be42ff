"""Log-log picture of time against N: one line per library and method."""

from __future__ import annotations

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from bench import data  # noqa: E402

# tarvo solid, peers dashed, so the two families separate at a glance.
STYLE = {"tarvo": "-", "scipy": ":", "small_gicp": "--", "open3d": "-."}


def _series(records, kind: str, threads: int, value: str):
    """{label: [(n, seconds), ...]} over the synthetic sets."""
    lines: dict[str, list] = {}
    for r in records:
        if (r.get("kind") != kind or r["threads"] != threads or "error" in r
                or r.get("dataset") == data.BUNNY_NAME):
            continue
        label = r["library"] + (f" {r['method']}" if r.get("method") else "")
        lines.setdefault(label, []).append((r["n"], r[value]))
    return {label: sorted(points) for label, points in sorted(lines.items())}


def _colours(records) -> dict[str, tuple]:
    """One colour per library and method, the same in every panel; tarvo's methods take the
    strong colours first."""
    labels = sorted({r["library"] + (f" {r['method']}" if r.get("method") else "")
                     for r in records if "library" in r},
                    key=lambda label: (not label.startswith("tarvo"), label))
    palette = plt.get_cmap("tab10").colors + plt.get_cmap("Dark2").colors
    return {label: palette[i % len(palette)] for i, label in enumerate(labels)}


def _panel(ax, series, colours, title: str, ylabel: str) -> None:
    for label, points in series.items():
        xs, ys = zip(*points)
        library = label.split()[0]
        ax.plot(xs, ys, STYLE.get(library, "-"), marker="o", markersize=3,
                linewidth=2.0 if library == "tarvo" else 1.2, color=colours.get(label),
                label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_title(title, fontsize=10)
    ax.set_xlabel("points N")
    ax.set_ylabel(ylabel)
    ax.grid(True, which="both", alpha=0.3)
    if series:
        ax.legend(fontsize=6.5)


def draw(results, path: str) -> None:
    records, threads = results["records"], results["config"]["threads"]
    colours = _colours(records)
    fig, axes = plt.subplots(3, len(threads), figsize=(6 * len(threads), 14), squeeze=False,
                             sharey="row")
    for column, t in enumerate(threads):
        suffix = f"{t} thread" + ("s" if t > 1 else "")
        _panel(axes[0][column], _series(records, "iteration", t, "per_iteration_s"), colours,
               f"Time per iteration, {suffix}", "seconds per iteration")
        _panel(axes[1][column], _series(records, "floor", t, "best_s"), colours,
               f"Nearest-neighbour floor (tree build + pass), {suffix}", "seconds")
        _panel(axes[2][column], _series(records, "normals", t, "best_s"), colours,
               f"Normal estimation, k = 30, {suffix}", "seconds")
    machine = results["machine"]
    fig.suptitle(f"tarvo benchmarks — {machine['cpu']}, {machine['usable_cpus']} CPUs",
                 fontsize=12)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
