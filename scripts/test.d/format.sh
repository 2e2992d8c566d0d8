#!/usr/bin/env bash
# Checks that every C and C++ file of the project is in the tree's one style
# (.clang-format). Another clang-format than Debian 12's may format some lines
# its own way, so the version is named in the output.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"
command -v clang-format >/dev/null || { echo "format: clang-format is not installed (scripts/install-deps.sh format)" >&2; exit 1; }
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path ./build\* -prune -o -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print)
fi
clang-format --dry-run -Werror "${files[@]}"
echo "format: ${#files[@]} files in the tree's style ($(clang-format --version))"
