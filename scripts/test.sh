#!/usr/bin/env bash
# Runs the whole test suite against every supported combination of CPython
# and NumPy, each in an environment of its own. Extra arguments go to pytest.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
combinations=${PALETTRA_COMBINATIONS:-"3.12:1 3.12:2 3.13:2"}
cd "$root"
# The documentation site first: it takes seconds, and needs no build.
"$root/scripts/docs.sh"
for combination in $combinations; do
  python_version=${combination%%:*}
  numpy_generation=${combination##*:}
  echo "=== CPython $python_version, NumPy $numpy_generation.x ==="
  venv=$("$root/scripts/bootstrap.sh" --python "$python_version" --numpy "$numpy_generation" --test)
  # The module must never make Python warn; exit status 5 (nothing
  # collected) fails the run like any other.
  "$venv/bin/python" -W error -m pytest "$@"
done
# And once more under the sanitizers; then the build for 64-bit ARM.
if [[ -z "${PALETTRA_COMBINATIONS:-}" ]]; then
  "$root/scripts/sanitize.sh" "$@"
  "$root/scripts/aarch64_check.sh"
fi
