#!/usr/bin/env bash
# report.sh [-n RUNS] [--table-only] NATIVE_BUILD [ARM64_BUILD]: what each
# tool costs next to the cost of starting a process at all.
#
# For agent, service, filter and refresh (and the stand-ins' sizes) of each
# build: stripped size, DT_NEEDED libraries, peak resident memory, CPU
# (user + sys) and wall time of a typical run, each as a ratio to a trivial
# C program built by the same compiler and run the same way (under the build's
# emulator for a cross build). Medians of RUNS runs (default 7). Then the
# ratio lines of the native benchmarks, run with short settings (not with
# --table-only).
#
# Everything runs inside the native build's sandbox, on its private
# addresses (a private bus, a private service manager socket, a private
# Xvfb), with the emulated framebuffer preloaded, and is stopped on exit.
# The stand-in daemons are thus always the native build's: only the tool is
# measured, and a daemon under emulation would only add to its wall time.
set -euo pipefail

arguments=("$@")
runs=7 table_only=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    -n) runs="${2:-}"; shift 2 || break ;;
    --table-only) table_only=1; shift ;;
    *) break ;;
  esac
done
if (($# < 1 || $# > 2)) || ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: bench/report/report.sh [-n RUNS] [--table-only] NATIVE_BUILD [ARM64_BUILD]" >&2
  exit 2
fi
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
native="$(cd "$1" && pwd)"
builds=("$native")
[[ $# == 2 ]] && builds+=("$(cd "$2" && pwd)")
declare -A shown=(["$native"]="$1")  # build directories as given, for headings
[[ $# == 2 ]] && shown["${builds[1]}"]="$2"

[[ ${VELMORA_REPORT_SANDBOX-} == "$native" ]] ||
  VELMORA_REPORT_SANDBOX="$native" exec "$native/bin/velmora-sandbox" -- bash "${BASH_SOURCE[0]}" "${arguments[@]}"
# The sandbox removes its directory, and stops whatever is left running.
work="$VELMORA_SANDBOX/report"
mkdir "$work"
trap 'exit 130' INT
trap 'exit 143' TERM

die() { echo "report: $*" >&2; exit 1; }

# cache BUILD NAME: a value from the build's CMake cache.
cache() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }
# c_compiler BUILD: a toolchain file sets it outside the cache.
c_compiler() {
  local cc
  cc="$(cache "$1" CMAKE_C_COMPILER)"
  [[ -n "$cc" ]] || cc="$(sed -n 's/^set(CMAKE_C_COMPILER "\(.*\)")$/\1/p' "$1"/CMakeFiles/*/CMakeCCompiler.cmake | head -n 1)"
  echo "$cc"
}

nbin="$native/bin"

# --- measuring -----------------------------------------------------------

# The runner (wall clock, and CPU and peak resident memory from wait4) is a
# host program, built here with the native build's compiler.
"$(c_compiler "$native")" -O2 -o "$work/measure" "$root/bench/report/measure.c"

# timed OUT EMULATOR PRELOAD [MEASURE_OPTIONS --] PROGRAM ARGS...: one run;
# appends "wall_s cpu_s maxrss_kib" to OUT. PRELOAD goes to the guest's
# loader under an emulator, never to the host's.
timed() {
  local out="$1" emu="$2" preload="$3"; shift 3
  local opts=()
  if [[ " $* " == *" -- "* ]]; then
    while [[ "$1" != -- ]]; do opts+=("$1"); shift; done
    shift
  fi
  local cmd=()
  if [[ -n "$emu" ]]; then
    cmd=("$emu")
    [[ -n "$preload" ]] && cmd+=(-E "LD_PRELOAD=$preload")
  elif [[ -n "$preload" ]]; then
    cmd=(env "LD_PRELOAD=$preload")
  fi
  "$work/measure" "$out" "${opts[@]}" "${cmd[@]}" "$@" 2>"$work/run.err" ||
    die "$* failed: $(cat "$work/run.err")"
}

# median FILE COLUMN
median() {
  sort -g -k "$2,$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# sample NAME EMULATOR BIN FLOOR: runs NAME's typical run and the floor
# alternately (both see the same load); leaves figures in $work/NAME.fig
# and $work/floor.NAME.fig.
sample() {
  local name="$1" emu="$2" bin="$3" floor="$4" i
  local fig="$work/$name.fig" floorfig="$work/floor.$name.fig"
  : >"$fig"; : >"$floorfig"
  # One run first to warm the page cache (and qemu's own start).
  for ((i = 0; i <= runs; i++)); do
    local f="$fig" ff="$floorfig"
    ((i == 0)) && f="$work/warm" ff="$work/warm"
    # A pause before each run: the daemons finish with the last client
    # before the next run starts, which would otherwise share the CPUs.
    sleep 0.1
    case "$name" in
      service) timed "$f" "$emu" "" "$bin/service" call echo 1 i32 7 ;;
      agent) timed "$f" "$emu" "" "$bin/agent" 1234 ;;
      filter) timed "$f" "$emu" "" "$bin/filter" 2 pbuffer ;;
      # refresh never ends: it runs until its first measured rate, 120 flips
      # after the mode report (whose computed rate is the first such line).
      # An ASan-built refresh sees the preloaded library ahead of its runtime.
      refresh) FBEMU_VBLANK_HZ=60 ASAN_OPTIONS="verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" timed "$f" "$emu" "$(dirname "$bin")/lib/libfbdev-emu.so" \
        --stop-after 'refresh rate = ' 2 -- "$bin/refresh" ;;
    esac
    sleep 0.1
    timed "$ff" "$emu" "" "$floor"
  done
}

kib() { awk -v b="$1" 'BEGIN { printf "%.0f", b / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

ms() { awk -v v="$1" 'BEGIN { printf "%.1f", v * 1000 }'; }

# floor_figures FIGS...: the floor's medians over all its runs, in fw fc fm.
floor_figures() {
  cat "$@" >"$work/floor.all"
  fw=$(median "$work/floor.all" 1) fc=$(median "$work/floor.all" 2) fm=$(median "$work/floor.all" 3)
}

line() {  # line PROGRAM SIZE RATIO RSS RATIO CPU RATIO WALL RATIO NEEDED
  printf '%-15s %5s KiB %7s  %6s KiB %7s  %6s ms %7s  %7s ms %8s  %s\n' "$@"
}

# row PROGRAM SIZE FLOORSIZE NEEDED [FIG]: ratios to the floor's figures.
row() {
  local program="$1" size="$2" fsize="$3" needed="$4"
  if [[ $# -gt 4 ]]; then
    local w c m
    w=$(median "$5" 1) c=$(median "$5" 2) m=$(median "$5" 3)
    line "$program" "$(kib "$size")" "$(ratio "$size" "$fsize")x" "$m" "$(ratio "$m" "$fm")x" \
      "$(ms "$c")" "$(ratio "$c" "$fc")x" "$(ms "$w")" "$(ratio "$w" "$fw")x" "$needed"
  else
    printf '%-15s %5s KiB %7s  %-58s  %s\n' "$program" "$(kib "$size")" "$(ratio "$size" "$fsize")x" \
      "(not run)" "$needed"
  fi
}

needed() {
  "$readelf" -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd ' '
}

stripped_size() {
  cp "$1" "$work/stripped"
  "$strip" "$work/stripped"
  stat -c %s "$work/stripped"
}

report() {
  local build="$1" bin="$1/bin"
  local cc emu system
  cc="$(c_compiler "$build")"
  strip="$(cache "$build" CMAKE_STRIP)"
  readelf="$(cache "$build" CMAKE_READELF)"
  emu="$(cache "$build" CMAKE_CROSSCOMPILING_EMULATOR)"
  [[ -x "$cc" && -x "$strip" && -x "$readelf" ]] || die "$build: no compiler, strip or readelf in its CMake cache"
  system="$("$cc" -dumpmachine)"
  printf 'int main(void) { return 0; }\n' >"$work/floor.c"
  "$cc" -O2 -o "$work/floor" "$work/floor.c"
  local fsize
  fsize="$(stripped_size "$work/floor")"

  echo
  if [[ -n "$emu" ]]; then
    echo "$system (${shown[$build]}), run under $emu (user-mode emulation: times are the emulator's), median of $runs runs"
  else
    echo "$system (${shown[$build]}), native, median of $runs runs"
  fi
  printf '%-15s %17s  %18s  %17s  %19s  %s\n' program "stripped size" "peak resident" \
    "CPU user+sys" "wall" "needs (DT_NEEDED)"
  local figs=() name
  for name in service agent filter refresh; do
    sample "$name" "$emu" "$bin" "$work/floor"
    figs+=("$work/floor.$name.fig")
  done
  floor_figures "${figs[@]}"
  line floor "$(kib "$fsize")" "" "$fm" "" "$(ms "$fc")" "" "$(ms "$fw")" "" "$(needed "$work/floor")"
  for name in service agent filter refresh; do
    row "$name" "$(stripped_size "$bin/$name")" "$fsize" "$(needed "$bin/$name")" "$work/$name.fig"
  done
  for name in servicemanager demo-services bluetooth-sim; do
    row "$name" "$(stripped_size "$bin/$name")" "$fsize" "$(needed "$bin/$name")"
  done
}

echo "footprint: each figure next to its ratio to the floor, a trivial C program"
echo "(int main(void) { return 0; }) from the same compiler, run the same way"
echo "typical runs: service call echo 1 i32 7; agent 1234 (a PIN code, a passkey, released);"
echo "filter 2 pbuffer (Xvfb, software GL); refresh until its first measured rate (120 flips at 60 Hz)"
for build in "${builds[@]}"; do
  if [[ -n "$(cache "$build" CMAKE_CROSSCOMPILING_EMULATOR)" ]]; then
    GALLIUM_DRIVER=softpipe report "$build"
  else
    report "$build"
  fi
done

# --- the other benchmarks' ratio lines, native only ----------------------

[[ -z "$table_only" ]] || exit 0

echo
echo "benchmarks (${shown[$native]}, native, short settings): titles and ratio lines"
bench() {  # bench [--all] COMMAND...: titles (unindented lines) and ratio lines, or all
  local pattern='^[^ ]|ratio|[0-9]x|= [0-9.]+ callBinder round trips'
  [[ "$1" == --all ]] && { pattern=''; shift; }
  echo "\$ $(basename "$1")${2:+ ${*:2}}"
  [[ -x "$1" ]] || { echo "  (not built: VELMORA_BENCH is off in this build)"; return 0; }
  if ! "$@" >"$work/bench.out" 2>&1; then
    sed 's/^/  ! /' "$work/bench.out"
    bench_failed=1
    return 0
  fi
  grep -E "$pattern" "$work/bench.out" | sed 's/^/  /'
}
bench_failed=0
bench "$nbin/agent_bench" --calls 200 --starts 3
bench "$nbin/ipc-bench"
bench "$nbin/service-bench"
bench "$nbin/filter-bench" 5
bench --all "$nbin/refresh-bench"
# Every table and line is printed; a benchmark that failed still fails the report.
exit "$bench_failed"
