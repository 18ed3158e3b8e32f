#!/usr/bin/env bash
# Makes (or refreshes) a virtual environment with palettra built and
# installed into it, and prints the environment's path.
#
# Usage: bootstrap.sh [--python 3.12|3.13] [--numpy 1|2] [--test] [--sanitize | --sanitize-threads]
#   --python  the CPython to build for (default 3.12)
#   --numpy   the NumPy generation to install (default 1: NumPy 1.26)
#   --test    also install the test requirements and the test-only modules
#   --sanitize  build with AddressSanitizer and UndefinedBehaviorSanitizer
#   --sanitize-threads  build with ThreadSanitizer
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python_version=3.12
numpy_generation=1
with_tests=false
variant=""
sanitizer=""
while (($#)); do
  case "$1" in
    --python) python_version=$2; shift 2 ;;
    --numpy) numpy_generation=$2; shift 2 ;;
    --test) with_tests=true; shift ;;
    --sanitize) variant=-sanitize; sanitizer=PALETTRA_SANITIZE; shift ;;
    --sanitize-threads) variant=-tsan; sanitizer=PALETTRA_SANITIZE_THREADS; shift ;;
    *) echo "bootstrap: unknown argument $1" >&2; exit 2 ;;
  esac
done

name="py$python_version-numpy$numpy_generation$variant"
venv="$root/.venv/$name"
if [[ ! -x "$venv/bin/python" ]]; then
  python=$("$root/scripts/find_python.sh" "$python_version")
  echo "bootstrap: creating $venv with $python" >&2
  "$python" -m venv "$venv"
fi
pip() {
  "$venv/bin/python" -m pip --quiet --disable-pip-version-check "$@" 2>&1 >&2 \
    | { grep -v "is ignored: it is neither a file nor a directory" || true; } >&2
}

requirements=(-r "$root/requirements/build.txt" -r "$root/requirements/numpy$numpy_generation.txt"
              -r "$root/requirements/run.txt")
install_args=(--no-build-isolation --no-deps)
if $with_tests; then
  requirements+=(-r "$root/requirements/test.txt")
  install_args+=(--config-settings=cmake.define.PALETTRA_TEST_MODULES=ON)
fi
if [[ -n "$variant" ]]; then
  install_args+=(--config-settings=cmake.define.$sanitizer=ON
                 --config-settings=cmake.build-type=RelWithDebInfo)
fi
pip install "${requirements[@]}"
# Without build isolation the build directory is kept, so rebuilds are
# incremental; each environment has a directory of its own.
pip install "${install_args[@]}" \
  --config-settings="build-dir=$root/build/$name" "$root"
echo "$venv"
