#!/usr/bin/env bash
# build.sh DIR [cmake options...]: configures and builds the project into DIR.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="$1"; shift
cmake -S "$root" -B "$dir" -DVELMORA_WERROR=ON "$@"
cmake --build "$dir" -j "$(nproc)"
