#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer into .venv-asan (for
# CPython 3.10; .venv-asan-3.X for another $PYTHON) and runs the test suite under it. Any
# sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/_python.sh
python=$(find_python)
version=$(python_version_of "$python")
suffix=$([ "$version" = "3.10" ] || echo "-$version")
venv=.venv-asan$suffix
make_venv "$venv" "$python" "$version"
install_package "$venv" -C cmake.define.TARNWICK_SANITIZE=ON -C cmake.build-type=Debug \
    -C "build-dir=build/asan$suffix" ".[test]"

runtime="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
# The interpreter itself is not instrumented and keeps memory until exit: leak reports would be
# about it, not about the extension, so leaks are checked by tests/test_leaks.py instead.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc
export TARNWICK_SANITIZED=1
# Reports go to the real standard error, not into pytest's per-test capture.
LD_PRELOAD="$runtime" exec "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys "$@"
