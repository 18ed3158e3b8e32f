import pytest

from support.registry import Borrows, shared_registry

# Fixtures that bring in the extension modules built only for the tests. An
# installed wheel has none of them; its check deselects -m test_modules.
TEST_MODULE_FIXTURES = {"testing", "twin"}


def pytest_collection_modifyitems(items):
    for item in items:
        if TEST_MODULE_FIXTURES & set(getattr(item, "fixturenames", ())):
            item.add_marker(pytest.mark.test_modules)


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
