#!/usr/bin/env bash
# Sets up .venv with CPython 3.10, builds and installs the package, runs the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
PIP_INSTALL_ARGS=()
source scripts/_python.sh
setup_venv
exec .venv/bin/python -m pytest -q "$@"
