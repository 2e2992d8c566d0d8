#!/usr/bin/env bash
# The arm64 and armhf builds: each one's whole suite under qemu-user against
# the native build's stand-ins, then its Debian packages, built, checked and
# run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
for arch in arm64 armhf; do
  "$root/scripts/cross-test.sh" "$arch" "$root/build"
  bash "$root/scripts/test.d/packages.sh" "$arch"
done
