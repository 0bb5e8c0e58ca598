# Sourced by the other scripts: finds CPython 3.10 and prepares .venv with the package installed.
is_py310() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' >/dev/null 2>&1; }

find_python310() {
    if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
    if command -v python3.10 >/dev/null 2>&1 && is_py310 python3.10; then command -v python3.10; return; fi
    if command -v pyenv >/dev/null 2>&1; then
        local prefix version
        prefix=$(pyenv prefix 3.10 2>/dev/null | head -n 1 || true)
        if [ -n "$prefix" ] && is_py310 "$prefix/bin/python3.10"; then echo "$prefix/bin/python3.10"; return; fi
        version=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.10(\.|$)' | tail -n 1 || true)
        if [ -n "$version" ]; then
            prefix=$(PYENV_VERSION="$version" pyenv prefix 2>/dev/null || true)
            if [ -n "$prefix" ] && is_py310 "$prefix/bin/python3.10"; then echo "$prefix/bin/python3.10"; return; fi
        fi
    fi
    echo "error: CPython 3.10 not found (set PYTHON=/path/to/python3.10)" >&2
    return 1
}

# Creates .venv once, then (re)installs the package when its sources, the build files or the install
# arguments changed since the last install; the build directory makes rebuilds incremental.
# PIP_EXTRAS (e.g. "[mcp]") names optional extras to install with the package; extras installed
# once are kept by later installs.
setup_venv() {
    local python stamp=.venv/.tarnwick-installed args="${PIP_INSTALL_ARGS[*]}" extras=""
    python=$(find_python310)
    if [ ! -x .venv/bin/python ] || ! is_py310 .venv/bin/python; then
        rm -rf .venv
        "$python" -m venv .venv
        .venv/bin/python -m pip install -q --upgrade pip
    fi
    if [ -f "$stamp" ]; then
        extras=$(sed -n 2p "$stamp")
        # Folders are listed too: adding or removing a file changes its folder's time.
        if [ "$(sed -n 1p "$stamp")" = "$args" ] && { [ -z "${PIP_EXTRAS:-}" ] || [ "$PIP_EXTRAS" = "$extras" ]; } \
            && [ -z "$(find src CMakeLists.txt pyproject.toml scripts/_python.sh -newer "$stamp" -print -quit)" ]; then
            return 0
        fi
    fi
    extras=${PIP_EXTRAS:-$extras}
    .venv/bin/python -m pip install -q scikit-build-core cmake ninja pytest hypothesis
    .venv/bin/python -m pip install -q --no-build-isolation "${PIP_INSTALL_ARGS[@]}" ".$extras"
    printf '%s\n%s\n' "$args" "$extras" >"$stamp"
}
