"""The `ref` fixture: hands the front-end tests the reference functions of frontend_reference."""

import pytest

import frontend_reference


@pytest.fixture
def ref():
    """The reference functions (frontend_reference)."""
    return frontend_reference
