#!/usr/bin/env bash
# Builds what a release publishes into dist/: the sdist and, for each
# supported CPython, a wheel with the public modules, repaired to the manylinux
# tag it meets; runs twine check on all of them. Then checks them where users
# install them: each wheel in fresh environments holding nothing but pip, with
# no compiler or CMake on PATH, where the smoke check and every test that
# needs no test-only module and checks more than the sources alone run
# against it; and the sdist, built with build
# isolation as `pip install palettra-X.tar.gz` builds it, in another fresh
# environment, with the smoke check.
#
# Usage: dist.sh [--no-check]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
check=true
case "${1:-}" in
  "") ;;
  --no-check) check=false ;;
  *) echo "dist: unknown argument $1" >&2; exit 2 ;;
esac

pythons="3.12 3.13"
# Wheels for CPython:NumPy generation, as the test command's combinations.
wheel_checks="3.12:1 3.12:2 3.13:2"
# The wheels are linked against glibc 2.17's symbols on purpose, so that they
# load on every mainstream Linux of the last ten years.
target=x86_64-linux-gnu.2.17
oldest_allowed_glibc=28

dist="$root/dist"
work="$root/build/dist"
summary=()
pids=()
say() { echo "dist [${SECONDS}s]: $*" >&2; }
fail() { echo "dist: $*" >&2; exit 1; }
note() { summary+=("$*"); say "$*"; }
quiet_pip() {
  "$@" 2>&1 >&2 | { grep -v "is ignored: it is neither a file nor a directory" || true; } >&2
}
# A fresh environment of CPython `version` with nothing but pip.
fresh_env() {
  local version=$1 env=$2
  "$("$root/scripts/find_python.sh" "$version")" -m venv --clear "$env"
}

tools=$("$root/scripts/dist_tools.sh")
driver=$("$root/scripts/zig_cxx.sh" "$target")
# The x86-64 function clones are chosen at load time from a processor-feature
# table that zig's runtime lacks; GCC's runtime library has it, self-contained.
cpu_model=$(gcc -print-libgcc-file-name)
rm -rf "$dist" "$work/raw"
mkdir -p "$dist" "$work/raw"

say "building the sdist"
quiet_pip "$tools/bin/python" -m build --sdist --no-isolation --outdir "$dist" "$root" >&2
sdist=$(echo "$dist"/palettra-*.tar.gz)
# Nothing but tracked files: no environments, build folders or outputs.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  stray=$(comm -23 \
    <(tar -tzf "$sdist" | sed 's|^[^/]*/||' | grep -v -e '/$' -e '^$' -e '^PKG-INFO$' | sort) \
    <(git -C "$root" ls-files | sort))
  [[ -z "$stray" ]] || fail "the sdist holds files git does not track: $stray"
fi
note "$(basename "$sdist"): $(stat -c %s "$sdist") bytes, $(tar -tzf "$sdist" | grep -vc '/$') files"

for version in $pythons; do
  say "building the wheel for CPython $version with $target"
  venv="$root/.venv/dist-build-py$version"
  [[ -x "$venv/bin/python" ]] || fresh_env "$version" "$venv"
  quiet_pip "$venv/bin/python" -m pip --quiet install -r "$root/requirements/build.txt"
  # Without build isolation, so the pinned build requirements are used and
  # the build folder of each CPython stays incremental.
  CXX="$driver" quiet_pip "$venv/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps \
    --wheel-dir "$work/raw" \
    --config-settings="build-dir=$work/py$version" \
    --config-settings=cmake.define.CMAKE_CXX_FLAGS=-Werror \
    --config-settings="cmake.define.CMAKE_MODULE_LINKER_FLAGS=$cpu_model" \
    "$root"
done

say "repairing the wheels"
for raw in "$work"/raw/*.whl; do
  PATH="$tools/bin:$PATH" quiet_pip "$tools/bin/auditwheel" repair --wheel-dir "$dist" "$raw"
done
for wheel in "$dist"/*.whl; do
  name=$(basename "$wheel")
  shown=$("$tools/bin/auditwheel" show "$wheel" 2>/dev/null)
  glibc=$(sed -n 's/.*manylinux_2_\([0-9]*\)_x86_64.*/\1/p' <<<"$name")
  [[ -n "$glibc" && "$glibc" -le "$oldest_allowed_glibc" ]] || fail "$name: not tagged manylinux_2_$oldest_allowed_glibc or older"
  # auditwheel copies any library outside the allowed set into the wheel.
  if "$tools/bin/python" -m zipfile -l "$wheel" | grep -q '\.libs/'; then
    fail "$name: carries libraries from outside the allowed set"
  fi
  if "$tools/bin/python" -m zipfile -l "$wheel" | grep -q -e 'palettra_twin' -e '_palettra_testing'; then
    fail "$name: carries a test-only module"
  fi
  note "$name: $(stat -c %s "$wheel") bytes; auditwheel show: $(tr '\n' ' ' <<<"$shown" \
    | sed 's/  */ /g; s/^.* is consistent with/consistent with/; s/ In order to achieve.*//')"
done

say "twine check"
"$tools/bin/twine" --no-color check --strict "$dist"/*

if ! $check; then
  printf '%s\n' "${summary[@]}"
  exit 0
fi

# Runs a command in `env` with only the environment's own programs on PATH.
in_env() {
  local env=$1
  shift
  PATH="$env/bin" VIRTUAL_ENV="$env" PYTHONPATH= "$@"
}

numpy_version() { "$1/bin/python" -c 'import numpy; print(numpy.__version__)'; }

# One wheel with NumPy of one generation; the last line it prints is its
# note.
check_wheel() {
  local version=$1 numpy_generation=$2 cp_tag="cp${1/./}" wheel env tool
  wheel=$(echo "$dist"/palettra-*-"$cp_tag"-"$cp_tag"-*.whl)
  env="$work/check-wheel-py$version-numpy$numpy_generation"
  fresh_env "$version" "$env"
  for tool in cc c++ gcc g++ clang zig cmake ninja; do
    if in_env "$env" "$BASH" -c "command -v $tool" >/dev/null; then fail "$tool is reachable in $env"; fi
  done
  # Binary packages only: nothing may be compiled on the way.
  quiet_pip in_env "$env" "$env/bin/python" -m pip --quiet install --no-compile --only-binary=:all: \
    "$wheel" -r "$root/requirements/numpy$numpy_generation.txt" -r "$root/requirements/run.txt" \
    -r "$root/requirements/test.txt"
  (cd "$work" && in_env "$env" "$env/bin/python" "$root/scripts/check_installed.py") >&2
  if ! (cd "$root" && in_env "$env" "$env/bin/python" -W error -m pytest -q -p no:cacheprovider \
      -m "not test_modules and not source_only") >"$env/pytest.log" 2>&1; then
    cat "$env/pytest.log"
    fail "tests failed against $(basename "$wheel")"
  fi
  echo "$(basename "$wheel") in a fresh CPython $version with NumPy $(numpy_version "$env"), no compiler" \
    "or CMake on PATH: smoke check passed; tests: $(tail -n 1 "$env/pytest.log")"
}

# The sdist; the last line it prints is its note.
check_sdist() {
  local env="$work/check-sdist-py3.12"
  fresh_env 3.12 "$env"
  # Build isolation, as a user's pip does it; only the runtime packages are
  # pinned, the build requirements come as declared.
  quiet_pip "$env/bin/python" -m pip --quiet install "$sdist" \
    -c "$root/requirements/numpy2.txt" -c "$root/requirements/run.txt"
  (cd "$work" && in_env "$env" "$env/bin/python" "$root/scripts/check_installed.py") >&2
  echo "$(basename "$sdist") built with build isolation in a fresh CPython 3.12 with NumPy" \
    "$(numpy_version "$env"): smoke check passed"
}

# The checks are independent, and each mostly waits for one processor or
# the network, so they run side by side, each into a log of its own.
say "checking the wheels and the sdist in fresh environments"
checks=()
for combination in $wheel_checks; do
  checks+=("wheel-py${combination%%:*}-numpy${combination##*:}")
  check_wheel "${combination%%:*}" "${combination##*:}" >"$work/${checks[-1]}.log" 2>&1 &
  pids+=($!)
done
checks+=(sdist)
check_sdist >"$work/sdist.log" 2>&1 &
pids+=($!)
for i in "${!checks[@]}"; do
  log="$work/${checks[$i]}.log"
  if ! wait "${pids[$i]}"; then
    cat "$log" >&2
    fail "the ${checks[$i]} check failed (log: $log)"
  fi
  note "$(tail -n 1 "$log")"
done

printf '%s\n' "${summary[@]}"
