#!/usr/bin/env bash
# cross-build.sh ARCH DIR [cmake options...]: configures and builds the
# project for a Debian ARM architecture (arm64 or armhf) into DIR, with the
# matching toolchain file from cmake/. Its tests run under qemu-user.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if (($# < 2)); then
  echo "usage: $0 arm64|armhf DIR [cmake options...]" >&2
  exit 2
fi
arch="$1" dir="$2"; shift 2
case "$arch" in
  arm64 | aarch64) toolchain=aarch64-linux-gnu ;;
  armhf | arm) toolchain=arm-linux-gnueabihf ;;
  *) echo "cross-build: unknown architecture '$arch' (arm64 or armhf)" >&2; exit 2 ;;
esac
exec "$root/scripts/build.sh" "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" "$@"
