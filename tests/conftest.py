import pytest

from support.registry import Borrows, shared_registry


@pytest.fixture
def registry():
    return shared_registry()


@pytest.fixture(scope="session")
def testing():
    """The test-only module built from the same sources as palettra."""
    import _palettra_testing

    return _palettra_testing


@pytest.fixture
def borrows(registry):
    """Borrows for one test, all ended when it finishes, pass or fail."""
    taken = Borrows(registry)
    yield taken
    taken.end_all()
