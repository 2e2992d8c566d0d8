#!/usr/bin/env bash
# demo/refresh.sh BUILD_DIR: in the build's sandbox, runs refresh on the
# emulated framebuffer device (a 480 x 800 panel at 60 Hz) for a few seconds,
# shows its report and the rate lines it prints, then stops it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/in-sandbox.sh" "$@"
seconds="${REFRESH_DEMO_SECONDS:-5}"
tmp="$VELMORA_SANDBOX"

# Standard output goes into a pipe, as it would into a log or a pager: each
# line still shows up as soon as refresh prints it.
mkfifo "$tmp/out"
cat "$tmp/out" &
reader=$!

# The sandbox's refresh has the emulated framebuffer preloaded.
echo "\$ FBEMU_VBLANK_HZ=60 refresh"
FBEMU_VBLANK_HZ=60 refresh >"$tmp/out" &
refresh_pid=$!
sleep "$seconds"
kill -TERM "$refresh_pid"
wait "$refresh_pid" || true
wait "$reader"
echo "(stopped refresh with SIGTERM after $seconds s)"
