"""How the module's initializer adds a function, on objects that import never gives it."""

import sys
import types

import pytest


def function(name="f"):
    def made():
        pass

    made.__name__ = name
    return made


class Named:
    def __init__(self, name):
        self.__name__ = name


class MissingAll(AttributeError):
    pass


class Refusing(types.ModuleType):
    """A module whose __all__ cannot be read, with the error given."""

    def __init__(self, error):
        super().__init__("refusing")
        self.error = error

    def __getattribute__(self, name):
        if name == "__all__" and "__all__" not in super().__getattribute__("__dict__"):
            raise super().__getattribute__("error")
        return super().__getattribute__(name)


@pytest.mark.parametrize(
    "module",
    [types.ModuleType("plain"), Refusing(MissingAll("none yet"))],
    ids=["no __all__", "AttributeError subclass"],
)
def test_creates_all_when_missing(testing, module):
    added = function()
    before = sys.getrefcount(added)
    assert testing.add_function(module, added) is None
    assert module.__all__ == ["f"] and type(module.__all__) is list
    assert module.f is added
    # The module holds the function through its attribute, nothing more.
    assert sys.getrefcount(added) == before + 1


def test_appends_to_an_existing_list(testing):
    module = types.ModuleType("listed")
    names = ["a"]
    module.__all__ = names
    testing.add_function(module, function("g"))
    testing.add_function(module, Named("h"))
    assert module.__all__ is names and names == ["a", "g", "h"]


class Name(str):
    pass


def test_name_may_be_a_str_subclass(testing):
    module = types.ModuleType("sub")
    testing.add_function(module, Named(Name("k")))
    assert module.__all__ == ["k"] and module.k.__name__ == "k"


class NoName:
    @property
    def __name__(self):
        raise LookupError("nameless")


@pytest.mark.parametrize(
    "module, added, error_type, message",
    [
        (types.ModuleType("m"), Named(3), TypeError,
         "'int' object cannot be converted to 'PyString'"),
        (types.ModuleType("m"), NoName(), LookupError, "nameless"),
        (Refusing(ValueError("broken")), function(), ValueError, "broken"),
    ],
    ids=["name not a str", "name unreadable", "__all__ unreadable"],
)
def test_failures(testing, module, added, error_type, message):
    before = sys.getrefcount(added)
    with pytest.raises(error_type) as raised:
        testing.add_function(module, added)
    assert str(raised.value) == message
    assert "__all__" not in vars(module)
    del raised
    assert sys.getrefcount(added) == before


def test_all_that_is_not_a_list(testing):
    module = types.ModuleType("tupled")
    module.__all__ = ("a",)
    added = function()
    with pytest.raises(TypeError, match=r"^'tuple' object cannot be converted to 'PyList'$"):
        testing.add_function(module, added)
    assert module.__all__ == ("a",) and not hasattr(module, "f")


def test_all_that_cannot_be_stored(testing):
    class Frozen:
        def __setattr__(self, name, value):
            raise PermissionError(f"{name} is read-only")

    with pytest.raises(PermissionError, match="__all__ is read-only"):
        testing.add_function(Frozen(), function())
