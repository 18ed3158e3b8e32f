"""The failures that a user can cause: a bad palette, a bad image, a bad request."""


class ToolsError(Exception):
    """A problem with the user's input, reported as a message, never a traceback."""


class PaletteError(ToolsError):
    """A palette name that is not known or a palette file that cannot be read."""


class ImageError(ToolsError):
    """An image that cannot be read, or an output that cannot be written as asked."""


def located(path: object, line: int | None, message: str) -> str:
    """`path:line: message`, the form compilers use, so editors can jump there."""
    where = f"{path}:{line}" if line is not None else f"{path}"
    return f"{where}: {message}"


class ImageTooLargeError(ImageError):
    """An image with more pixels than the caller allows."""


class ToolsWarning(UserWarning):
    """Something done with the user's input that they should know of: a colour
    profile that could not be converted, a palette that looks padded."""
