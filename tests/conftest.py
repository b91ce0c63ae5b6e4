"""Test-wide settings: hypothesis profiles (the sanitizer run uses fewer examples; the fuzz run of
tests/fuzz many more, without a deadline)."""
import os

from hypothesis_optional import HAVE_HYPOTHESIS, HealthCheck, settings

if HAVE_HYPOTHESIS:
    settings.register_profile("default", deadline=None, suppress_health_check=[HealthCheck.too_slow])
    settings.register_profile("sanitize", max_examples=15, deadline=None,
                              suppress_health_check=[HealthCheck.too_slow])
    settings.register_profile("fuzz", max_examples=400, deadline=None, print_blob=True,
                              suppress_health_check=[HealthCheck.too_slow])
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
