#!/usr/bin/env bash
# Sets palettra up, then converts the bundled example picture to the bundled
# palette with the palettra command and writes out/example-converted.png.
# Arguments, if any, make a palettra command line of their own instead, for
# example: bash scripts/example.sh photo.png --palette pico-8
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=$("$root/scripts/bootstrap.sh")
if (($#)); then
  exec "$venv/bin/palettra" "$@"
fi
cd "$root"
exec "$venv/bin/palettra" examples/landscape.png --palette examples/palette.txt -o out/example-converted.png
