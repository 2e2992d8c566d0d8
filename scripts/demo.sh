#!/usr/bin/env bash
# Installs what is missing, builds into build/ and runs the demo of every
# program against the stand-in platform.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/install-deps.sh
scripts/build.sh build >/dev/null
for part in agent service filter refresh; do
  if [[ -e scripts/demo/$part.sh ]]; then
    echo
    echo "=================== $part ==================="
    bash "scripts/demo/$part.sh" "$root/build"
  fi
done
