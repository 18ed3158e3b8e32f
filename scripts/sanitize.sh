#!/usr/bin/env bash
# Runs the whole test suite against a build of palettra and its test modules
# with AddressSanitizer (leak detection included) and
# UndefinedBehaviorSanitizer. Any report fails the run. Extra arguments go to
# pytest.
#
#   sanitize.sh --threads [pytest arguments]
# runs instead the dithering tests, where work is shared out over threads,
# or the tests named among the arguments, against a ThreadSanitizer build;
# any data race it reports fails the run. (The tests that run the command
# through /bin/sh fail there: the shell itself crashes with the sanitizer's
# runtime preloaded.)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
export PALETTRA_SANITIZED=1
if [[ "${1:-}" == "--threads" ]]; then
  shift
  echo "=== CPython 3.12, NumPy 2, ThreadSanitizer ==="
  venv=$("$root/scripts/bootstrap.sh" --python 3.12 --numpy 2 --test --sanitize-threads)
  # The interpreter is not built with it, so its runtime is loaded first.
  # Reports go to files as well as to the terminal, since a halted test run
  # loses what pytest was capturing.
  reports=$(mktemp -d)
  export LD_PRELOAD="$(g++ -print-file-name=libtsan.so)"
  export TSAN_OPTIONS="halt_on_error=1:exitcode=88:log_path=$reports/race"
  status=0
  named=false
  for argument in "$@"; do [[ "$argument" == -* ]] || named=true; done
  $named || set -- "$@" tests/tools/test_tools_wavefront.py tests/tools/test_tools_dithering.py
  "$venv/bin/python" -W error -m pytest "$@" || status=$?
  if compgen -G "$reports/race*" > /dev/null; then
    cat "$reports"/race* >&2
    status=88
  fi
  rm -rf "$reports"
  exit "$status"
fi
echo "=== CPython 3.12, NumPy 1.x, sanitized ==="
venv=$("$root/scripts/bootstrap.sh" --python 3.12 --numpy 1 --test --sanitize)
# The interpreter is not built with the sanitizers, so their runtimes are
# loaded first; the interpreter's allocations go through malloc so leaks are
# seen, and the interpreter's own leftovers at exit are suppressed.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:exitcode=86:strict_string_checks=1
# Thread-local storage is not scanned: with several extension modules that
# have their own (palettra and its companion engine among them), the leak
# checker's reading of the loader's dynamic TLS table crashes its tracer at
# exit. Nothing of palettra's is held only there; the loader's own blocks
# that are are suppressed.
export LSAN_OPTIONS="suppressions=$root/scripts/interpreter-leaks.supp:print_suppressions=0:use_tls=0"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87
"$venv/bin/python" -W error -m pytest "$@"
