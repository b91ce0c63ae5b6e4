"""hypothesis when it is installed; otherwise stand-ins under which property tests are collected and
skipped, so the rest of their files still runs (a GPU machine may have pytest without hypothesis)."""

try:
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    HAVE_HYPOTHESIS = True
except ImportError:
    import pytest

    HAVE_HYPOTHESIS = False

    class _Anything:
        """Absorbs the strategy expressions built at import time (calls, attributes, decorators)."""

        def __call__(self, *args, **kwargs):
            return self

        def __getattr__(self, name):
            return self

    st = HealthCheck = _Anything()

    def given(*args, **kwargs):
        return pytest.mark.skip(reason="hypothesis is not installed")

    def settings(*args, **kwargs):
        return lambda test: test

__all__ = ["HAVE_HYPOTHESIS", "HealthCheck", "given", "settings", "st"]
