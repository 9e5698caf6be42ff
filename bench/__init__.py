"""Benchmark suite: tarvo against the libraries users would pick instead.

Run ``python -m bench`` from the repository root (``--help`` for the options). Results go to
``bench/results/latest.{json,md,png}``.
"""
