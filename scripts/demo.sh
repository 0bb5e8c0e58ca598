#!/usr/bin/env bash
# Sets up .venv, then prints the context block for a question about the sample project.
set -euo pipefail
cd "$(dirname "$0")/.."
PIP_INSTALL_ARGS=()
source scripts/_python.sh
setup_venv >&2
exec .venv/bin/context-packer "${1:-how are overdue loans detected}" "${2:-examples/bookshelf}"
