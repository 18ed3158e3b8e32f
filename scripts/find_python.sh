#!/usr/bin/env bash
# Prints the path of a working CPython of the given version (for example
# 3.12): the one on PATH first, then one of pyenv's installed versions.
set -euo pipefail

version=${1:?usage: find_python.sh VERSION}
name=python$version
if candidate=$(command -v "$name" 2>/dev/null) && "$candidate" -c '' 2>/dev/null; then
  echo "$candidate"
  exit 0
fi
pyenv_root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}
for candidate in "$pyenv_root/versions/$version".*/bin/"$name"; do
  if [[ -x "$candidate" ]] && "$candidate" -c '' 2>/dev/null; then
    echo "$candidate"
    exit 0
  fi
done
echo "no CPython $version found on PATH or under pyenv" >&2
exit 1
