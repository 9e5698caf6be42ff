"""Shared pytest configuration: hypothesis profiles for the fuzz suites.

Profiles, chosen with the environment variable TARVO_HYPOTHESIS_PROFILE:

- "ci" (default): at least 2,000 examples per fuzzed entry point, sized so that the
  whole CI run stays well inside its budget on two cores;
- "nightly": 25 times as many, for a run by hand or on a schedule;
- "dev": a quick smoke run while editing the fuzz strategies.

Tests that pin their own `max_examples` keep it; only the ones that rely on the
profile grow with it.
"""

import os

from hypothesis import HealthCheck, settings

_COMMON = dict(
    deadline=None,  # the machine is shared: wall time per example is not a property under test
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
    print_blob=True,
)

settings.register_profile("ci", max_examples=2000, **_COMMON)
settings.register_profile("nightly", max_examples=50000, **_COMMON)
settings.register_profile("dev", max_examples=200, **_COMMON)
settings.load_profile(os.environ.get("TARVO_HYPOTHESIS_PROFILE", "ci"))
