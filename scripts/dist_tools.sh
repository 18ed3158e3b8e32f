#!/usr/bin/env bash
# Makes (or refreshes) the environment of the release tools: zig's C++
# driver, auditwheel, twine and the build front end with the build backend.
# Prints the environment's path.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv/dist-tools"
if [[ ! -x "$venv/bin/python" ]]; then
  python=$("$root/scripts/find_python.sh" 3.12)
  echo "dist_tools: creating $venv with $python" >&2
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip --quiet --disable-pip-version-check install \
  -r "$root/requirements/dist.txt" -r "$root/requirements/build.txt" 2>&1 >&2 \
  | { grep -v "is ignored: it is neither a file nor a directory" || true; } >&2
echo "$venv"
