"""Description of the machine and the software a run measured."""

from __future__ import annotations

import datetime
import importlib.metadata
import os
import platform
import subprocess

PACKAGES = ("tarvo", "numpy", "scipy", "open3d", "small_gicp", "matplotlib")


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def memory_gib() -> float | None:
    try:
        with open("/proc/meminfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return round(int(line.split()[1]) / 2**20, 1)
    except OSError:
        pass
    return None


def package_version(name: str) -> str | None:
    try:
        return importlib.metadata.version(name.replace("_", "-"))
    except importlib.metadata.PackageNotFoundError:
        return None


def git_revision(repo: str) -> str | None:
    try:
        head = subprocess.run(["git", "-C", repo, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", repo, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None
    return head + ("+dirty" if dirty else "")


def describe(repo: str) -> dict:
    return {
        "cpu": cpu_model(),
        "logical_cpus": os.cpu_count(),
        "usable_cpus": len(os.sched_getaffinity(0)),
        "memory_gib": memory_gib(),
        "os": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "packages": {name: package_version(name) for name in PACKAGES},
        "tarvo_revision": git_revision(repo),
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
    }
