#!/usr/bin/env bash
# Builds and installs the package into the environment of the chosen CPython (3.10, or $PYTHON:
# any of 3.10 to 3.13, e.g. PYTHON=3.12) and runs the test suite with the given pytest arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
PIP_INSTALL_ARGS=()
PIP_EXTRAS="[mcp]"   # the MCP server's tests talk to it through the SDK's own client
source scripts/_python.sh
setup_venv
echo "== $("$VENV/bin/python" -c 'import sys; print("CPython", sys.version.split()[0])') ($VENV)"
exec "$VENV/bin/python" -m pytest -q "$@"
