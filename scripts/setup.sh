#!/usr/bin/env bash
# Sets up a fresh machine and builds the module; quick when nothing changed.
#   1. finds Python 3.13
#   2. installs the Debian packages that are missing
#   3. creates .venv and installs the Python requirements when they changed
#   4. builds and installs the module (with the GoogleTest suite) incrementally
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

find_python() {
    if command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys' >/dev/null 2>&1; then
        command -v python3.13
        return
    fi
    local root
    if command -v pyenv >/dev/null 2>&1; then
        root=$(pyenv root)
    else
        root=${PYENV_ROOT:-$HOME/.pyenv}
    fi
    local candidate
    for candidate in "$root"/versions/3.13*/bin/python3.13; do
        if [ -x "$candidate" ]; then
            echo "$candidate"
            return
        fi
    done
    echo "setup: Python 3.13 not found (python3.13 on PATH or pyenv)" >&2
    exit 1
}

DEBIAN_PACKAGES=(g++ cmake ninja-build ccache clang-format libembree-dev libtbb-dev libcgal-dev
                 libgmp-dev libmpfr-dev libgtest-dev libxxhash-dev chromium
                 netcdf-bin gdal-bin gmt)
missing=()
for pkg in "${DEBIAN_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing Debian packages: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
    PYTHON=$(find_python)
    echo "setup: creating .venv with $PYTHON"
    "$PYTHON" -m venv .venv
fi
stamp=.venv/.requirements.sha
want=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
    echo "setup: installing Python requirements"
    .venv/bin/python -m pip install -q --upgrade pip
    .venv/bin/python -m pip install -q -r requirements-dev.txt
    echo "$want" > "$stamp"
fi

# The build directory is kept between runs, so an unchanged tree rebuilds nothing.
export PATH="$ROOT/.venv/bin:$PATH"
.venv/bin/python -m pip install -q --no-build-isolation --no-deps \
    -C build-dir=build/main \
    -C cmake.define.ORVIK_BUILD_TESTS=ON \
    -C cmake.define.ORVIK_WERROR=ON \
    -C cmake.define.Python_EXECUTABLE="$ROOT/.venv/bin/python" \
    "$ROOT"
