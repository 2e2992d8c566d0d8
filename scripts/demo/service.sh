#!/usr/bin/env bash
# service.sh BUILD_DIR: in the build's sandbox, with its service manager and
# demo service host, runs `service list`, `service check` and a few
# `service call` lines with typed arguments and prints what they give.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/in-sandbox.sh" "$@"
echo "servicemanager listening on $VELMORA_SERVICE_MANAGER; demo-services registered"
echo

run() {
  echo "\$ service $*"
  local status=0
  service "$@" 2>&1 || status=$?
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
