"""Shared test configuration."""

import os

from hypothesis import HealthCheck, settings

# A fixed, modest budget keeps the property tests repeatable and quick; CI
# can raise it with HYPOTHESIS_PROFILE=ci.
settings.register_profile(
    "default", max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "ci", max_examples=500, deadline=None, derandomize=True,
    suppress_health_check=[HealthCheck.too_slow],
)
# For CI's other builds of the same code (another compiler, the portable
# paths, each wheel): they must run every test, while the deep search of
# the property tests is done once, by the main run and the sanitizer run.
settings.register_profile(
    "ci-build", max_examples=50, deadline=None, derandomize=True,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
