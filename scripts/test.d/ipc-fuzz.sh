#!/usr/bin/env bash
# Short libFuzzer runs over the IPC library's parcel reading, transport
# message decoding and the service manager's transaction handler. Needs
# clang with libFuzzer; skipped without it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
seconds="${IPC_FUZZ_SECONDS:-35}"

if ! command -v clang++ >/dev/null 2>&1; then
  echo "ipc-fuzz: clang++ not installed, skipping the fuzz run"
  exit 0
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-ipc-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT

ipc="$root/platform/ipc"
sources=("$ipc"/src/*.cpp)
flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$ipc/include" -I"$ipc/src" -pthread)

if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' \
     | clang++ -x c++ -fsanitize=fuzzer - -o "$work/probe" 2>/dev/null; then
  echo "ipc-fuzz: clang++ cannot link libFuzzer (libclang-rt-14-dev missing?), skipping"
  exit 0
fi

pids=()
for target in parcel frames registry; do
  clang++ "${flags[@]}" "$root/tests/platform/ipc/fuzz/fuzz_$target.cpp" "${sources[@]}" \
    -o "$work/fuzz_$target" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done

status=0
for target in parcel frames registry; do
  echo "ipc-fuzz: $target for ${seconds}s"
  mkdir -p "$work/corpus_$target"
  if ! (cd "$work" && ./"fuzz_$target" -max_total_time="$seconds" -max_len=8192 \
          -print_final_stats=0 "corpus_$target" 2>"$work/log_$target"); then
    tail -n 40 "$work/log_$target"
    status=1
  else
    tail -n 1 "$work/log_$target"
  fi
done
exit "$status"
