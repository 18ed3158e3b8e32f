#!/usr/bin/env bash
# Builds the documentation site from docs/ into build/site/, strictly: a
# broken link, a missing page or a page left out of the navigation fails it.
# The site needs no build of palettra, so its environment is its own.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv/docs"
if [[ ! -x "$venv/bin/python" ]]; then
  "$("$root/scripts/find_python.sh" 3.12)" -m venv "$venv"
fi
"$venv/bin/python" -m pip --quiet --disable-pip-version-check install -r "$root/requirements/docs.txt" 2>&1 >&2 \
  | { grep -v "is ignored: it is neither a file nor a directory" || true; } >&2
cd "$root"
# The theme's notice of its end of life is advice to the maintainers, not a
# fault of the pages.
NO_MKDOCS_2_WARNING=1 "$venv/bin/python" -m mkdocs build --strict 2>&1 | { grep -v "^INFO" || true; } >&2
echo "docs: built $root/build/site" >&2
