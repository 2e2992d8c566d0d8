#!/usr/bin/env bash
# Demo of filter: draws the test texture in all six formats on a private
# Xvfb screen, captures each frame and writes labelled PNG pictures plus a
# contact sheet, then lets filter-verify judge every format on llvmpipe and
# softpipe, in the window and in a 5-6-5 pbuffer, writing frame | reference
# | difference pictures.
# Usage: filter.sh BUILD_DIR
set -euo pipefail
[[ $# == 1 ]] || { echo "usage: scripts/demo/filter.sh BUILD_DIR" >&2; exit 2; }
build="$(cd "$1" && pwd)"
out="$build/demo/filter"
rm -rf "$out"
mkdir -p "$out"

work="$(mktemp -d)"
xvfb_pid=""
cleanup() {
  if [[ -n "$xvfb_pid" ]]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A free display number, chosen by the server itself; -noreset keeps it up
# between the clients.
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 192x192x24 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
if [[ ! -s "$work/display" ]]; then
  echo "filter demo: Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1
fi
display=":$(head -n1 "$work/display")"

names=("" "LUMINANCE UNSIGNED_BYTE" "RGB UNSIGNED_SHORT_5_6_5" "RGBA UNSIGNED_SHORT_4_4_4_4"
       "LUMINANCE_ALPHA UNSIGNED_BYTE" "RGBA UNSIGNED_SHORT_5_5_5_1" "RGBA UNSIGNED_BYTE")
files=("" "luminance" "rgb565" "rgba4444" "luminance-alpha" "rgba5551" "rgba8888")
sheet_args=()
for t in 1 2 3 4 5 6; do
  capture="$out/filter-$t-${files[$t]}.pam"
  echo "\$ filter $t        (window on a 192 x 192 screen)"
  DISPLAY="$display" LIBGL_ALWAYS_SOFTWARE=1 \
    LD_PRELOAD="$build/lib/libfilter_capture.so" FILTER_CAPTURE="$capture" \
    "$build/bin/filter" "$t"
  sheet_args+=("$capture" "test $t: ${names[$t]}, window")
done
"$build/bin/filter-pictures" \
  --note "The six formats, each a window on a 192 x 192 screen (llvmpipe)." \
  --note "Tests 1, 3 and 4 show the same colours by design of their texel tables;" \
  --note "they differ only in alpha, which this surface does not keep." \
  "$out/contact-sheet.png" "${sheet_args[@]}"
rm -f "$out"/*.pam

for rasterizer in llvmpipe softpipe; do
  echo
  echo "\$ GALLIUM_DRIVER=$rasterizer filter-verify --png verify-$rasterizer"
  DISPLAY="$display" LIBGL_ALWAYS_SOFTWARE=1 GALLIUM_DRIVER="$rasterizer" \
    "$build/bin/filter-verify" --png "$out/verify-$rasterizer"
done

# The device's own 16-bit surface, off-screen and without an X server.
for rasterizer in llvmpipe softpipe; do
  echo
  echo "\$ env -u DISPLAY GALLIUM_DRIVER=$rasterizer filter-verify --pbuffer --config 565 --png verify-$rasterizer-565"
  env -u DISPLAY LIBGL_ALWAYS_SOFTWARE=1 GALLIUM_DRIVER="$rasterizer" \
    "$build/bin/filter-verify" --pbuffer --config 565 --png "$out/verify-$rasterizer-565"
done

echo
echo "pictures written to $out:"
(cd "$out" && find . -name '*.png' | sort | sed 's|^\./|  |')
