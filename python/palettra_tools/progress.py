"""A one-line progress bar on a text stream."""

from typing import TextIO

_WIDTH = 30


class ProgressBar:
    """Redraws `label [#####     ]  50%` in place, only when the percentage moves."""

    def __init__(self, label: str, stream: TextIO):
        self._label = label
        self._stream = stream
        self._shown = -1

    def __call__(self, done: int, total: int) -> None:
        percent = 100 * done // total if total else 100
        if percent == self._shown:
            return
        self._shown = percent
        filled = _WIDTH * percent // 100
        bar = "#" * filled + " " * (_WIDTH - filled)
        self._stream.write(f"\r{self._label} [{bar}] {percent:3d}%")
        if done >= total:
            self._stream.write("\n")
        self._stream.flush()
