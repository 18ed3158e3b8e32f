"""Running a snippet in a fresh interpreter, for what must not touch this one:
aborts, and output on standard error whose order matters."""

import os
import pathlib
import resource
import subprocess
import sys
import textwrap

TESTS_DIR = pathlib.Path(__file__).resolve().parent.parent


def _no_core_dumps():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def run_isolated(code, cwd):
    """Runs `code` with this interpreter; `support` is importable from it."""
    env = dict(os.environ, PYTHONPATH=str(TESTS_DIR), PYTHONIOENCODING="utf-8")
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        encoding="utf-8",
        cwd=cwd,
        env=env,
        timeout=300,
        preexec_fn=_no_core_dumps,
    )
