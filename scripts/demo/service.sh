#!/usr/bin/env bash
# service.sh BUILD_DIR: starts a private service manager and the demo service
# host, runs `service list`, `service check` and a few `service call` lines
# with typed arguments, prints what they give, and cleans up.
set -euo pipefail
[[ $# == 1 ]] || { echo "usage: scripts/demo/service.sh BUILD_DIR" >&2; exit 2; }
bin="$(cd "$1" && pwd)/bin"
tmp="$(mktemp -d)"
export VELMORA_SERVICE_MANAGER="$tmp/servicemanager"
manager=""
demo=""
cleanup() {
  for pid in $demo $manager; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$tmp"
}
trap cleanup EXIT

wait_for() {  # wait_for TEST...: up to 10 s
  for _ in $(seq 200); do
    if "$@"; then return 0; fi
    sleep 0.05
  done
  echo "service demo: gave up waiting for: $*" >&2
  exit 1
}

"$bin/servicemanager" "$VELMORA_SERVICE_MANAGER" >"$tmp/servicemanager.log" 2>&1 &
manager=$!
manager_answers() { "$bin/service" check nothing >/dev/null 2>&1; }
wait_for manager_answers
"$bin/demo-services" >"$tmp/demo-services.log" 2>&1 &
demo=$!
wait_for grep -q "demo-services: ready" "$tmp/demo-services.log"
echo "servicemanager listening on $VELMORA_SERVICE_MANAGER; demo-services registered"
echo

run() {
  echo "\$ service $*"
  local status=0
  "$bin/service" "$@" 2>&1 || status=$?
  echo "(exit status $status)"
  echo
}

run list
run check echo
run check nosuch
run call echo 1 i32 7 s16 hello null
run call echo 2 intent action=velmora.intent.action.VIEW data=content://notes/1 launchFlags=16
run call echo 3 i32 -5 i32
run call failing 1 i32 7
run call nosuch 1
