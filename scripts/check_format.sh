#!/usr/bin/env bash
# Fails when a file is not formatted as the repository says: the C++ with
# .clang-format (Debian's clang-format), the Python with ruff (pyproject.toml),
# which also lints it. Run by `make test`; to fix, run with --fix.
set -euo pipefail
cd "$(dirname "$0")/.."
RUFF=.venv/bin/ruff

# Every tracked C++ file except generated tables.
mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp' '*.inc' | grep -v '^src/core/common/unicode_tables\.inc$')

if [ "${1:-}" = "--fix" ]; then
    clang-format -i "${cxx[@]}"
    "$RUFF" check --fix --quiet .
    "$RUFF" format --quiet .
    exit 0
fi

status=0
if ! clang-format --dry-run --Werror "${cxx[@]}"; then
    echo "check_format: C++ not formatted (bash scripts/check_format.sh --fix)" >&2
    status=1
fi
if ! "$RUFF" format --check --quiet .; then
    echo "check_format: Python not formatted (bash scripts/check_format.sh --fix)" >&2
    status=1
fi
if ! "$RUFF" check --quiet .; then
    echo "check_format: ruff found problems in the Python code" >&2
    status=1
fi
exit $status
