#!/usr/bin/env bash
# Makes (or refreshes) a virtual environment with palettra built and
# installed, and prints its path. Usage: bootstrap.sh [--test]
#   --test  also installs the test requirements and the test-only modules.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
with_tests=false
[[ "${1:-}" == "--test" ]] && with_tests=true

# A CPython 3.12: from PATH first, then from pyenv's installed versions.
find_python() {
  local candidate
  if candidate=$(command -v python3.12 2>/dev/null) && "$candidate" -c '' 2>/dev/null; then
    echo "$candidate"
    return
  fi
  local pyenv_root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}
  for candidate in "$pyenv_root"/versions/3.12.*/bin/python3.12; do
    if [[ -x "$candidate" ]] && "$candidate" -c '' 2>/dev/null; then
      echo "$candidate"
      return
    fi
  done
  echo "bootstrap: no CPython 3.12 found on PATH or under pyenv" >&2
  exit 1
}

python=$(find_python)
venv="$root/.venv"
if [[ ! -x "$venv/bin/python" ]]; then
  echo "bootstrap: creating $venv with $python" >&2
  "$python" -m venv "$venv"
fi
pip() { "$venv/bin/python" -m pip --quiet --disable-pip-version-check "$@"; }

pip install -r "$root/requirements/build.txt" -r "$root/requirements/run.txt"
install_args=(--no-build-isolation --no-deps)
if $with_tests; then
  pip install -r "$root/requirements/test.txt"
  install_args+=(--config-settings=cmake.define.PALETTRA_TEST_MODULES=ON)
fi
# Without build isolation the build directory is reused, so rebuilds are
# incremental.
pip install "${install_args[@]}" "$root" >&2
echo "$venv"
