#!/usr/bin/env bash
# The arm64 build: its whole suite under qemu-user against the native build's
# stand-ins, then its Debian packages, built, checked and run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
"$root/scripts/cross-test.sh" arm64 "$root/build"
bash "$root/scripts/test.d/packages.sh" arm64
