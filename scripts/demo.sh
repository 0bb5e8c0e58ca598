#!/usr/bin/env bash
# Sets up the environment (.venv, or that of $PYTHON; rebuilding only what changed), then prints
# the focused context block for a question about the sample project, or about ROOT.
set -euo pipefail
cd "$(dirname "$0")/.."
PIP_INSTALL_ARGS=()
source scripts/_python.sh
setup_venv >&2
exec "$VENV/bin/tarnwick" context "${1:-how are overdue loans detected}" --root "${2:-examples/bookshelf}"
