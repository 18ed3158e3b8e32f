#!/usr/bin/env bash
# Sets palettra up, then converts the bundled example picture to the bundled
# palette and writes out/example-converted.png. Arguments, if any, go to
# scripts/convert_example.py (IMAGE [PALETTE [OUTPUT]]).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=$("$root/scripts/bootstrap.sh")
"$venv/bin/python" "$root/scripts/convert_example.py" "$@"
