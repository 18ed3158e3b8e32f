"""A one-line progress display on a text stream: the phase of the work, and
a bar while it goes on."""

from typing import TextIO

_WIDTH = 30


class ProgressBar:
    """Redraws `label  phase [#####     ]  50%` in place: `phase` names what is
    being done, calling the bar moves it (only when the percentage moves),
    `done` ends the line."""

    _phase = ""

    def __init__(self, label: str, stream: TextIO):
        self._label = label
        self._stream = stream
        self._shown = ""
        self._percent = -1
        self._open = False

    def _show(self, text: str) -> None:
        line = f"{self._label}  {text}"
        # Blanks clear what is left of a longer line before it.
        self._stream.write("\r" + line.ljust(len(self._shown)))
        self._stream.flush()
        self._shown = line
        self._open = True

    def phase(self, name: str) -> None:
        self._percent = -1
        self._phase = name
        self._show(f"{name} ...")

    def __call__(self, done: int, total: int) -> None:
        percent = 100 * done // total if total else 100
        if percent == self._percent:
            return
        self._percent = percent
        filled = _WIDTH * percent // 100
        self._show(f"{self._phase} [{'#' * filled}{' ' * (_WIDTH - filled)}] {percent:3d}%")

    def done(self) -> None:
        self._show("done")
        self.end_line()

    def end_line(self) -> None:
        """Ends the line, if one is open, so that other text starts on its own."""
        if self._open:
            self._stream.write("\n")
            self._stream.flush()
            self._open = False
