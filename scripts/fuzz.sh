#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang in build/fuzz and runs each for
# the given number of seconds (default 60), at the lowest CPU priority.
#   scripts/fuzz.sh [seconds] [harness ...]
# The corpus of each harness grows in build/fuzz/corpus/<harness>; inputs
# that crash land in build/fuzz/crashes/<harness>/ and are replayed with
#   build/fuzz/fuzz/<harness> <file>
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_HARNESS=${1:-60}
shift || true
command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is needed (apt-get install clang libclang-rt-14-dev)" >&2; exit 1; }
cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DORVIK_BUILD_MODULE=OFF -DORVIK_BUILD_TESTS=OFF -DORVIK_FUZZ=ON -DORVIK_WERROR=ON -Wno-dev >/dev/null
HARNESSES=("$@")
if [ ${#HARNESSES[@]} -eq 0 ]; then
  for src in fuzz/fuzz_*.cpp; do HARNESSES+=("$(basename "$src" .cpp)"); done
fi
nice -n 19 cmake --build build/fuzz -j1 --target "${HARNESSES[@]}"
status=0
for h in "${HARNESSES[@]}"; do
  mkdir -p "build/fuzz/corpus/$h" "build/fuzz/crashes/$h"
  # Inputs kept in the repository (fixed crashes, interesting cases) seed the corpus.
  if [ -d "fuzz/regressions/$h" ]; then cp -n fuzz/regressions/"$h"/* "build/fuzz/corpus/$h/" 2>/dev/null || true; fi
  echo "== $h: ${SECONDS_PER_HARNESS}s"
  if ! nice -n 19 "build/fuzz/fuzz/$h" -max_total_time="$SECONDS_PER_HARNESS" -max_len=4096 -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="build/fuzz/crashes/$h/" \
        "build/fuzz/corpus/$h" 2>"build/fuzz/$h.log"; then
    echo "   FAILED: see build/fuzz/$h.log and build/fuzz/crashes/$h/"
    status=1
  fi
  grep -E "stat::number_of_executed_units|cov:" "build/fuzz/$h.log" | tail -2 || true
done
exit $status
