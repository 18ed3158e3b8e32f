#!/usr/bin/env bash
# Runs the whole test suite against a build of palettra and its test modules
# with AddressSanitizer (leak detection included) and
# UndefinedBehaviorSanitizer. Any report fails the run. Extra arguments go to
# pytest.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
echo "=== CPython 3.12, NumPy 1.x, sanitized ==="
venv=$("$root/scripts/bootstrap.sh" --python 3.12 --numpy 1 --test --sanitize)
cd "$root"
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
export PALETTRA_SANITIZED=1
"$venv/bin/python" -W error -m pytest "$@"
