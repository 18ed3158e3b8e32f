"""Types whose names make downcast messages interesting."""


class Outer:
    class Inner:
        pass


class Nameless:
    pass


# A qualified name without a UTF-8 form.
Nameless.__qualname__ = "\udc80"
