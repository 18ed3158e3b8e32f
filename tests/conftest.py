import pytest

from support.registry import shared_registry


@pytest.fixture
def registry():
    return shared_registry()


@pytest.fixture(scope="session")
def testing():
    """The test-only module built from the same sources as palettra."""
    import _palettra_testing

    return _palettra_testing
