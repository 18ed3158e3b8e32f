#!/usr/bin/env bash
# Prints the path of a C++ compiler driver for TARGET, a zig target such as
# x86_64-linux-gnu.2.17 (that processor, linked against the symbols of glibc
# 2.17 and nothing newer) or aarch64-linux-gnu.2.17. The driver is zig's
# clang with its own C++ runtime, from the release tools' environment.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
target=${1:?usage: zig_cxx.sh TARGET}
tools=$("$root/scripts/dist_tools.sh")
driver="$root/build/zig/$target/c++"
script="#!/bin/sh
exec '$tools/bin/python' -m ziglang c++ -target $target \"\$@\""
# Rewritten only when it changes, so that builds using it stay incremental.
if [[ ! -x "$driver" || "$(cat "$driver")" != "$script" ]]; then
  mkdir -p "$(dirname "$driver")"
  printf '%s\n' "$script" >"$driver"
  chmod +x "$driver"
fi
echo "$driver"
