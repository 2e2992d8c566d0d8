#!/usr/bin/env bash
# test-under-load.sh [RUNS] [CTEST_ARGS...]: runs the normal and the sanitizer
# suites RUNS times (default 3) while stress-ng keeps every core busy, as on
# a shared machine. Builds first, like scripts/test.sh; stops at the first
# failing run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
runs="${1:-3}"
shift || true
scripts/install-deps.sh
scripts/build.sh build
scripts/build.sh build-asan -DVELMORA_SANITIZE=ON -DVELMORA_BENCH=OFF

stress-ng --cpu "$(nproc)" --quiet &
stress=$!
trap 'kill "$stress" 2>/dev/null; wait "$stress" 2>/dev/null' EXIT

for ((run = 1; run <= runs; run++)); do
  for dir in build build-asan; do
    echo "== run $run of $runs: $dir"
    (cd "$dir" && ctest --output-on-failure --timeout 900 "$@")
  done
done
