#!/usr/bin/env bash
# Builds (does not run) everything, tests and benchmarks included, in Release
# with Clang, so that a warning only Clang or only -O2/-O3 sees cannot land.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
CC=clang CXX=clang++ "$root/scripts/build.sh" "$root/build-clang-release" \
  -DCMAKE_BUILD_TYPE=Release >"$root/build-clang-release.log" 2>&1 ||
  { tail -n 60 "$root/build-clang-release.log"; exit 1; }
echo "clang-release: Release build with $(clang++ --version | head -n 1) done"
