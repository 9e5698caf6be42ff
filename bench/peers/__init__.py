"""One module per measured library, each offering the benchmark kinds it supports.

Every module defines ``LIBRARY`` (its label), ``setup(threads)`` (import, thread settings and a
warm-up outside any timing) and any of the case functions ``floor``, ``iteration``,
``end_to_end``, ``normals`` and ``memory``; each case function takes the dataset, the thread
count and the case dictionary and returns the measured fields of one result record.
"""

from __future__ import annotations

import importlib

LIBRARIES = ("tarvo", "scipy", "open3d", "small_gicp")

# Very large but finite: "no distance cut-off" for libraries that require one.
NO_CUTOFF = 1.0e6


def load(library: str):
    if library not in LIBRARIES:
        raise ValueError(f"unknown library {library!r}")
    return importlib.import_module(f"bench.peers.{library}_runner")
