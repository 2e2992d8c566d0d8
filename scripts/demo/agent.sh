#!/usr/bin/env bash
# demo/agent.sh BUILD_DIR: the pairing agent against the simulated Bluetooth
# daemon on a private bus, once registering and once pairing a device.
set -euo pipefail
[[ $# == 1 ]] || { echo "usage: scripts/demo/agent.sh BUILD_DIR" >&2; exit 2; }
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bin="$(cd "$1" && pwd)/bin"
work="$(mktemp -d)"
bus_pid=""
sim_pid=""

cleanup() {
  [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  [[ -n "$bus_pid" ]] && kill "$bus_pid" 2>/dev/null && wait "$bus_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The bus lets only the daemon's user (root) own its name: name whoever runs this.
sed "s/<policy user=\"root\">/<policy user=\"$(id -un)\">/" "$root/platform/bluetooth/bus.conf" >"$work/bus.conf"
dbus-daemon --config-file="$work/bus.conf" --address="unix:path=$work/bus" \
  --nofork --print-address >"$work/bus.address" 2>"$work/bus.log" &
bus_pid=$!
for _ in $(seq 100); do [[ -s "$work/bus.address" ]] && break; sleep 0.05; done
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus"
echo "private bus: $DBUS_SYSTEM_BUS_ADDRESS"

device=/org/tavik/hci0/dev_00_11_22_33_44_55

# run TITLE SIM_OPTIONS... -- AGENT_ARGS...
run() {
  local title="$1"; shift
  local sim_args=()
  while [[ "$1" != "--" ]]; do sim_args+=("$1"); shift; done
  shift
  echo
  echo "### $title"
  echo "\$ bluetooth-sim ${sim_args[*]}"
  echo "\$ agent $*"
  "$bin/bluetooth-sim" "${sim_args[@]}" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '^ready ' "$work/sim.log" 2>/dev/null && break; sleep 0.05; done
  local status=0
  timeout 20 "$bin/agent" "$@" >"$work/agent.out" 2>"$work/agent.err" || status=$?
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" || true
  sim_pid=""
  echo "--- bluetooth-sim saw and got:"
  sed 's/^/    /' "$work/sim.log"
  echo "--- agent standard output:"
  sed 's/^/    /' "$work/agent.out"
  echo "--- agent standard error:"
  sed 's/^/    /' "$work/agent.err"
  echo "--- agent exit status: $status"
}

run "registering mode: PIN code, passkey, authorization, release" \
  --on-register "pin $device; passkey $device; authorize $device 0000110b-0000-1000-8000-00805f9b34fb; release" \
  -- 123456

run "pairing mode: the daemon pairs 00:11:22:33:44:55 through the agent" \
  --on-pair "pin $device; passkey $device; release" \
  -- 0042 00:11:22:33:44:55
