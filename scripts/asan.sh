#!/usr/bin/env bash
# Builds the module and the GoogleTest suite with AddressSanitizer and
# UndefinedBehaviorSanitizer in build/asan and runs the whole suite there.
# The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded; leak detection is left to tests/python/test_leaks.py because the
# interpreter keeps memory alive until exit by design.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
export PATH="$ROOT/.venv/bin:$PATH"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVIK_SANITIZE=ON \
      -DORVIK_BUILD_TESTS=ON -DPython_EXECUTABLE="$ROOT/.venv/bin/python" >/dev/null
cmake --build build/asan -j2
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure
LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONPATH="$ROOT/build/asan/python" \
    .venv/bin/python -m pytest -q -p no:cacheprovider "$@"
