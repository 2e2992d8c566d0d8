#!/usr/bin/env bash
# report-test.sh BUILD_DIR STATIC_RUNTIME: the footprint report's runner
# reports what a run used and refuses failed runs; the report's table has
# figures for every tool; with STATIC_RUNTIME 1 no tool needs the shared
# C++ runtime.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../support/shell.sh"
build="$1" static_runtime="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-footprint.XXXXXX")"
trap 'rm -rf "$work"' EXIT

cc "$here/../../bench/report/measure.c" -o "$work/measure"
m="$work/measure"
lines() { if [[ -f "$1" ]]; then wc -l <"$1"; else echo 0; fi; }

# Failed, killed and overdue runs fail and leave no figures.
for cmd in "false" "sh -c 'kill -KILL \$\$'" "--timeout 0.3 sleep 10" "--stop-after never 1 true" \
           "no-such-program-here"; do
  status=0
  eval "\"$m\" \"$work/bad\" $cmd" 2>"$work/err" || status=$?
  ((status == 1)) || fail "measure $cmd: status $status, not 1"
  [[ -s "$work/err" ]] || fail "measure $cmd: no message"
done
(($(lines "$work/bad") == 0)) || fail "a failed run left figures: $(cat "$work/bad")"

# Peak resident memory and CPU are the child's, not the runner's: dd's
# 64 MiB buffer, and bash spinning for two seconds.
"$m" "$work/dd" dd if=/dev/zero of=/dev/null bs=64M count=1 status=none
read -r wall cpu rss <"$work/dd"
((rss >= 65536)) || fail "dd's peak resident memory reported as $rss KiB"
"$m" "$work/spin" bash -c 'end=$((SECONDS + 2)); while ((SECONDS < end)); do :; done'
read -r wall cpu rss <"$work/spin"
awk -v c="$cpu" -v w="$wall" 'BEGIN { exit !(c > 0.2 && w >= 1 && c <= w * 1.05) }' ||
  fail "a spinning child: cpu $cpu s, wall $wall s"

# --stop-after ends a program that never ends once its output says enough,
# without waiting for anything else holding the output open.
"$m" "$work/stop" --timeout 20 --stop-after tick 3 \
  bash -c 'sleep 30 & while :; do echo tick; sleep 0.05; done'
read -r wall cpu rss <"$work/stop"
awk -v w="$wall" 'BEGIN { exit !(w < 10) }' || fail "--stop-after took $wall s"

# The table: every tool run, with figures and ratios, and the stand-ins' sizes.
bash "$here/../../bench/report/report.sh" -n 1 --table-only "$build" >"$work/table" 2>&1 ||
  { cat "$work/table" >&2; fail "the report failed"; }
grep -q '^floor  .* KiB .* KiB .* ms .* ms .*libc\.so' "$work/table" || fail "no floor row: $(cat "$work/table")"
for tool in service agent filter refresh; do
  grep -Eq "^$tool +[0-9]+ KiB +[0-9.]+x +[0-9]+ KiB +[0-9.]+x +[0-9.]+ ms +[0-9.]+x +[0-9.]+ ms +[0-9.]+x  " \
    "$work/table" || fail "no figures for $tool: $(cat "$work/table")"
done
for daemon in servicemanager demo-services bluetooth-sim; do
  grep -Eq "^$daemon +[0-9]+ KiB +[0-9.]+x +\(not run\)" "$work/table" || fail "no size for $daemon"
done
if ((static_runtime)); then
  for tool in service agent filter refresh; do
    ! grep -E "^$tool " "$work/table" | grep -Eq 'libstdc\+\+|libgcc_s' ||
      fail "$tool still needs the shared C++ runtime: $(grep -E "^$tool " "$work/table")"
  done
fi
echo "measure and the footprint table hold up"
