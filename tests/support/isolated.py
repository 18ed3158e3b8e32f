"""Running a snippet in a fresh interpreter, for what must not touch this one:
aborts, output on standard error whose order matters, and first uses in a
process."""

import json
import os
import pathlib
import resource
import subprocess
import sys
import textwrap

TESTS_DIR = pathlib.Path(__file__).resolve().parent.parent


def _no_core_dumps():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def run_isolated(code, cwd, env=None):
    """Runs `code` with this interpreter; `support` is importable from it.

    `env` adds to or replaces variables of this process's environment.
    """
    env = dict(os.environ, PYTHONPATH=str(TESTS_DIR), PYTHONIOENCODING="utf-8", **(env or {}))
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


def run_json(code, cwd=None, env=None):
    """Runs `code`, which must succeed and print one JSON value last; that value."""
    done = run_isolated(code, cwd, env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])
