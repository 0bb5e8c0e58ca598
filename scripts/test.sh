#!/usr/bin/env bash
# Sets up .venv with CPython 3.10, builds and installs the package, runs the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
PIP_INSTALL_ARGS=()
PIP_EXTRAS="[mcp]"   # the MCP server's tests talk to it through the SDK's own client
source scripts/_python.sh
setup_venv
exec .venv/bin/python -m pytest -q "$@"
