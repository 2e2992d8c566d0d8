#!/usr/bin/env bash
# Installs what is missing of what the demo needs, builds into build/ and
# runs the demo of every program against the stand-in platform.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# The toolchain, the agent's bus and the graphics stack; not the test-only
# tools (debugger, memory checker, qemu, clang, linters).
scripts/install-deps.sh base agent filter
echo "demo: building into build/ (a few minutes the first time)"
scripts/build.sh build
for part in agent service filter refresh velmora; do
  if [[ -e scripts/demo/$part.sh ]]; then
    echo
    echo "=================== $part ==================="
    bash "scripts/demo/$part.sh" "$root/build"
  fi
done
