#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite: a
# normal build in build/, the same suite built with AddressSanitizer + UBSan
# in build-asan/, then the extra checks of scripts/test.d/. Every stage runs
# whatever another one gave; the run ends with one line per stage (passed,
# failed or skipped, with the reason and the time) and fails when one failed.
# A stage skips by printing one "SKIP: reason" line and exiting with 77.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/install-deps.sh

logs="$(mktemp -d "${TMPDIR:-/tmp}/velmora-test.XXXXXX")"
trap 'rm -rf "$logs"' EXIT
summary=()
failed=0

# stage NAME COMMAND...: runs COMMAND with its output shown and kept.
stage() {
  local name="$1" log="$logs/${#summary[@]}.log" started=$SECONDS status=0 result why
  shift
  echo
  echo "== $name"
  "$@" 2>&1 | tee "$log" || status=$?
  local took=$((SECONDS - started))
  case "$status" in
    0) result=passed why="" ;;
    77) result=skipped why="$(sed -n 's/^.*SKIP: //p' "$log" | tail -n 1)" ;;
    *)
      result=failed failed=1
      # ctest's count of failures, else the last thing the stage said.
      why="$(grep -E 'tests passed, [0-9]+ tests? failed' "$log" | tail -n 1 || true)"
      [[ -n "$why" ]] || why="$(grep -v '^[[:space:]]*$' "$log" | tail -n 1 || true)"
      why="exit status $status${why:+: $why}"
      ;;
  esac
  summary+=("$(printf '%-16s %-8s %5d s%s' "$name" "$result" "$took" "${why:+  ($why)}")")
}

suite() {
  local dir="$1" timeout="$2"; shift 2
  scripts/build.sh "$dir" "$@" && (cd "$dir" && ctest --output-on-failure --timeout "$timeout")
}

stage format bash scripts/test.d/format.sh
stage "native suite" suite build 600
stage "sanitizer suite" suite build-asan 900 -DVELMORA_SANITIZE=ON -DVELMORA_BENCH=OFF
stage "clang release" bash scripts/test.d/clang-release.sh
stage arm64 bash scripts/test.d/cross.sh arm64
stage armhf bash scripts/test.d/cross.sh armhf
stage "fuzz runs" bash scripts/test.d/ipc-fuzz.sh
stage packages bash scripts/test.d/packages.sh

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
