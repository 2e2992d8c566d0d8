#!/usr/bin/env bash
# cross.sh arm64|armhf: the ARM build's whole suite under qemu-user against
# the native build's stand-ins, then its Debian packages, built, checked and
# run. Skipped (status 77) when the target's sysroot cannot be made here.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
arch="$1"
# Its SKIP line, if it cannot be made, is this stage's.
made="$("$root/scripts/sysroot.sh" "$arch")" || { status=$?; echo "$made"; exit "$status"; }
"$root/scripts/cross-test.sh" "$arch" "$root/build"
bash "$root/scripts/test.d/packages.sh" "$arch"
