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
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
