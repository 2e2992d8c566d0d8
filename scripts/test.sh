#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# a normal build in build/ and an AddressSanitizer + UBSan build in build-asan/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/install-deps.sh

scripts/build.sh build
(cd build && ctest --output-on-failure --timeout 600)

scripts/build.sh build-asan -DVELMORA_SANITIZE=ON -DVELMORA_BENCH=OFF
(cd build-asan && ctest --output-on-failure --timeout 900)

# Extra checks that each part of the project may add (fuzz runs and the like).
for step in scripts/test.d/*.sh; do
  [[ -e "$step" ]] || continue
  echo "== $step"
  bash "$step"
done
