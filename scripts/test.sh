#!/usr/bin/env bash
# Builds palettra with its test modules into the project's environment and
# runs the whole test suite. Extra arguments go to pytest.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=$("$root/scripts/bootstrap.sh" --test)
cd "$root"
# Exit status 5 (nothing collected) is a failure like any other.
"$venv/bin/python" -m pytest "$@"
