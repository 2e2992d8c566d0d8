#!/usr/bin/env bash
# demo/refresh.sh BUILD_DIR: runs refresh on the emulated framebuffer device
# (a 480 x 800 panel at 60 Hz) for a few seconds, shows its report and the
# rate lines it prints, then stops it.
set -euo pipefail
[[ $# == 1 ]] || { echo "usage: scripts/demo/refresh.sh BUILD_DIR" >&2; exit 2; }
build="$(cd "$1" && pwd)"
seconds="${REFRESH_DEMO_SECONDS:-5}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# Standard output goes into a pipe, as it would into a log or a pager: each
# line still shows up as soon as refresh prints it.
mkfifo "$tmp/out"
cat "$tmp/out" &
reader=$!

echo "\$ LD_PRELOAD=$build/lib/libfbdev-emu.so FBEMU_VBLANK_HZ=60 refresh"
LD_PRELOAD="$build/lib/libfbdev-emu.so" FBEMU_VBLANK_HZ=60 "$build/bin/refresh" >"$tmp/out" &
refresh_pid=$!
sleep "$seconds"
kill -TERM "$refresh_pid"
wait "$refresh_pid" || true
wait "$reader"
echo "(stopped refresh with SIGTERM after $seconds s)"
