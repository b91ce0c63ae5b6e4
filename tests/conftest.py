"""Test-wide settings: hypothesis profiles (the sanitizer run uses fewer examples)."""
import os

from hypothesis import HealthCheck, settings

settings.register_profile("default", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("sanitize", max_examples=15, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
