# Sourced by the other scripts: finds a supported CPython (3.10 to 3.13) and prepares a virtual
# environment for it with the package and its test extras installed.
#
# The interpreter: $PYTHON (a path, a command, or just a version such as 3.12), else CPython 3.10
# found as a working python3.10 or through pyenv. Each version gets its own environment: .venv for
# 3.10, .venv-3.X for the others.
SUPPORTED_VERSIONS="3.10 3.11 3.12 3.13"

# "3.X" when $1 runs and is a supported CPython, nothing otherwise.
python_version_of() {
    "$1" -c 'import sys
if sys.implementation.name == "cpython" and (3, 10) <= sys.version_info[:2] <= (3, 13):
    print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true
}

# find_python_version VERSION: prints the path of a working CPython VERSION, or fails quietly.
find_python_version() {
    local version=$1 candidate prefix
    if command -v "python$version" >/dev/null 2>&1 &&
        [ "$(python_version_of "python$version")" = "$version" ]; then
        command -v "python$version"
        return
    fi
    command -v pyenv >/dev/null 2>&1 || return 1
    # pyenv's shims refuse to run until a version is selected: ask pyenv for the prefix instead.
    for candidate in "$version" $(pyenv versions --bare 2>/dev/null | grep -E "^${version//./\\.}(\.|$)" | sort -V -r); do
        prefix=$(PYENV_VERSION="$candidate" pyenv prefix 2>/dev/null | head -n 1 || true)
        if [ -n "$prefix" ] && [ "$(python_version_of "$prefix/bin/python$version")" = "$version" ]; then
            echo "$prefix/bin/python$version"
            return
        fi
    done
    return 1
}

# The interpreter the scripts use: $PYTHON, else 3.10.
find_python() {
    local python=${PYTHON:-3.10}
    if [[ "$python" =~ ^3\.[0-9]+$ ]]; then
        if ! find_python_version "$python"; then
            echo "error: CPython $python not found (set PYTHON=/path/to/python$python)" >&2
            return 1
        fi
        return
    fi
    if [ -z "$(python_version_of "$python")" ]; then
        echo "error: $python is not a supported interpreter (CPython $SUPPORTED_VERSIONS)" >&2
        return 1
    fi
    command -v "$python"
}

# The environment of a given interpreter version: .venv for 3.10, .venv-3.X otherwise.
venv_for() {
    if [ "$1" = "3.10" ]; then echo ".venv"; else echo ".venv-$1"; fi
}

# make_venv DIR PYTHON VERSION: (re)creates the environment DIR with PYTHON unless it already
# runs that version.
make_venv() {
    if [ ! -x "$1/bin/python" ] || [ "$(python_version_of "$1/bin/python")" != "$3" ]; then
        rm -rf "$1"
        "$2" -m venv "$1"
        "$1/bin/python" -m pip install -q --upgrade pip
    fi
}

# install_package DIR PIP_ARGS...: installs the package into the environment DIR. Built without
# isolation so that the build directory is reused: the build tools come first.
install_package() {
    local venv=$1
    shift
    "$venv/bin/python" -m pip install -q scikit-build-core cmake ninja
    "$venv/bin/python" -m pip install -q --no-build-isolation "$@"
}

# Creates the environment once, then (re)installs the package with its test extras when its
# sources, the build files or the install arguments changed since the last install; the
# per-version build directory makes rebuilds incremental. PIP_EXTRAS (e.g. "[mcp]") names further
# extras to install with the package; extras installed once are kept by later installs. Sets VENV
# to the environment's directory.
setup_venv() {
    local python version stamp args="${PIP_INSTALL_ARGS[*]}" extras="" wanted
    python=$(find_python)
    version=$(python_version_of "$python")
    VENV=$(venv_for "$version")
    stamp=$VENV/.tarnwick-installed
    make_venv "$VENV" "$python" "$version"
    if [ -f "$stamp" ]; then
        extras=$(sed -n 2p "$stamp")
        # Folders are listed too: adding or removing a file changes its folder's time.
        if [ "$(sed -n 1p "$stamp")" = "$args" ] && { [ -z "${PIP_EXTRAS:-}" ] || [ "$PIP_EXTRAS" = "$extras" ]; } \
            && [ -z "$(find src CMakeLists.txt pyproject.toml scripts/_python.sh -newer "$stamp" -print -quit)" ]; then
            return 0
        fi
    fi
    extras=${PIP_EXTRAS:-$extras}
    wanted=${extras#[}
    wanted=${wanted%]}
    install_package "$VENV" "${PIP_INSTALL_ARGS[@]}" ".[test${wanted:+,$wanted}]"
    printf '%s\n%s\n' "$args" "$extras" >"$stamp"
}
