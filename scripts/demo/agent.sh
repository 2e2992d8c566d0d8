#!/usr/bin/env bash
# demo/agent.sh BUILD_DIR: the pairing agent against the simulated Bluetooth
# daemon in the build's sandbox, once registering and once pairing a device.
set -euo pipefail
# The sandbox starts the private bus; each run below replaces its
# bluetooth-sim with one of its own.
source "$(dirname "${BASH_SOURCE[0]}")/in-sandbox.sh" "$@"
# Its directory takes the logs; it stops whatever is left running.
work="$VELMORA_SANDBOX"
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
  echo "\$ bluetooth-sim --replace ${sim_args[*]}"
  echo "\$ agent $*"
  bluetooth-sim --replace "${sim_args[@]}" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '^ready ' "$work/sim.log" 2>/dev/null && break; sleep 0.05; done
  local status=0
  timeout 20 agent "$@" >"$work/agent.out" 2>"$work/agent.err" || status=$?
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" || true
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
