#!/usr/bin/env bash
# cross-test.sh arm64|armhf [NATIVE_DIR]: cross-builds the project into
# build-ARCH and runs its whole suite under qemu-user, with the native
# build's stand-ins (NATIVE_DIR, default build/, built or brought up to date) in
# place of the ARM ones, so that the ARM tools talk to x86-64 peers. On
# arm64 the suite of the stand-ins' side runs a second time the other way
# round: the native agent and service against the arm64 stand-ins. The
# dbus-daemon and Xvfb are always the host's own.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if (($# < 1)); then
  echo "usage: $0 arm64|armhf [NATIVE_DIR]" >&2
  exit 2
fi
arch="$1"
native="$(realpath -m "${2:-$root/build}")"
cross="$root/build-$arch"
cd "$root"

# Brought up to date: the stand-ins must understand what the tests ask.
scripts/build.sh "$native" >"$native.log" 2>&1 || { tail -n 60 "$native.log"; exit 1; }

started=$SECONDS
scripts/cross-build.sh "$arch" "$cross" -DVELMORA_BENCH=OFF >"$cross.log" 2>&1 ||
  { tail -n 60 "$cross.log"; exit 1; }
echo "cross-test: $arch build $((SECONDS - started)) s"

run() {
  local what="$1" swap="$2"; shift 2
  local started=$SECONDS
  echo "== $arch: $what"
  (cd "$cross" && VELMORA_SWAP_DIR="$native/bin" VELMORA_SWAP_PROGRAMS="$swap" \
    ctest --output-on-failure --timeout 900 "$@")
  echo "cross-test: $arch, $what: $((SECONDS - started)) s"
}

run "$arch tools against x86-64 stand-ins" servicemanager,demo-services,bluetooth-sim
if [[ "$arch" == arm64 ]]; then
  run "x86-64 agent and service against arm64 stand-ins" agent,service \
    -R '^(agent[.]|Call[.]|ServiceTool|Completion[.]|ServiceManagerTest[.]|LimitedManagerTest[.]|StandIns[.])'
fi
