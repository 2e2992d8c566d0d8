#!/usr/bin/env bash
# cross-build.sh ARCH DIR [cmake options...]: configures and builds the
# project for a Debian ARM architecture (arm64 or armhf) into DIR, with the
# matching toolchain file from cmake/ and the target's sysroot, made first
# when missing (scripts/sysroot.sh). Its tests run under qemu-user.
# Exit status 77, after one "SKIP: " line, when no sysroot can be made.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if (($# < 2)); then
  echo "usage: $0 arm64|armhf DIR [cmake options...]" >&2
  exit 2
fi
arch="$1" dir="$2"; shift 2
case "$arch" in
  arm64 | aarch64) arch=arm64 toolchain=aarch64-linux-gnu ;;
  armhf | arm) arch=armhf toolchain=arm-linux-gnueabihf ;;
  *) echo "cross-build: unknown architecture '$arch' (arm64 or armhf)" >&2; exit 2 ;;
esac
sysroot="$("$root/scripts/sysroot.sh" "$arch")" || { status=$?; echo "$sysroot"; exit "$status"; }
exec "$root/scripts/build.sh" "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" \
  -DVELMORA_SYSROOT="$sysroot" "$@"
