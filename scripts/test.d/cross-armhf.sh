#!/usr/bin/env bash
# The armhf build: its whole suite under qemu-user against the native build's
# stand-ins, then its Debian packages, built, checked and run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
"$root/scripts/cross-test.sh" armhf "$root/build"
bash "$root/scripts/test.d/packages.sh" armhf
