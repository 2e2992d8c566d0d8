# Sourced by the test scripts: background daemons that are stopped and
# reaped on exit, and waiting for them to be ready.
#
#   daemon LOG COMMAND...   starts COMMAND with both streams to LOG
#   wait_until COMMAND...   until COMMAND succeeds; fails when a daemon died
#                           first, or after 300 s (a hung start, not a slow one)
#   fail MESSAGE...         prints MESSAGE to stderr and exits 1
#   check_installed PREFIX WORK
#                           the front command in PREFIX/bin runs filter, and a
#                           command in the sandbox there (its directory in WORK)
#                           finds and calls the echo service

daemon_pids=()
daemon_logs=()

stop_daemons() {
  local pid
  for pid in "${daemon_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${daemon_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  daemon_pids=()
}

fail() {
  echo "$(basename "$0"): $*" >&2
  exit 1
}

daemon() {
  local log="$1"; shift
  "$@" >"$log" 2>&1 &
  daemon_pids+=($!)
  daemon_logs+=("$log")
}

wait_until() {
  local tries=0 i
  until "$@" >/dev/null 2>&1; do
    for i in "${!daemon_pids[@]}"; do
      if ! kill -0 "${daemon_pids[$i]}" 2>/dev/null; then
        cat "${daemon_logs[$i]}" >&2
        fail "a daemon ended while waiting for: $*"
      fi
    done
    ((++tries < 3000)) || fail "gave up waiting for: $*"
    sleep 0.1
  done
}

check_installed() {
  local out
  [[ "$("$1/bin/velmora" filter)" == "usage: filter <0-6> [pbuffer]" ]] || fail "velmora filter"
  out="$(env -u VELMORA_SERVICE_MANAGER -u DBUS_SYSTEM_BUS_ADDRESS -u DISPLAY TMPDIR="$2" \
    "$1/bin/velmora-sandbox" -- sh -c 'service check echo && service call echo 1 i32 7')" ||
    fail "velmora-sandbox: $out"
  [[ "$out" == $'Service echo: found\nResult: Parcel(size=4: 00000007 \'....\')' ]] || fail "velmora-sandbox: $out"
}
