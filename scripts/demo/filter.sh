#!/usr/bin/env bash
# Demo of filter, in the build's sandbox with a 192 x 192 screen: draws the
# test texture in all six formats, captures each frame and writes labelled
# PNG pictures plus a contact sheet, then lets filter-verify judge every
# format on llvmpipe and softpipe, in the window and in a 5-6-5 pbuffer,
# writing frame | reference | difference pictures.
# Usage: filter.sh BUILD_DIR
set -euo pipefail
sandbox_options=(--screen 192x192)
source "$(dirname "${BASH_SOURCE[0]}")/in-sandbox.sh" "$@"
out="$build/demo/filter"
rm -rf "$out"
mkdir -p "$out"

names=("" "LUMINANCE UNSIGNED_BYTE" "RGB UNSIGNED_SHORT_5_6_5" "RGBA UNSIGNED_SHORT_4_4_4_4"
       "LUMINANCE_ALPHA UNSIGNED_BYTE" "RGBA UNSIGNED_SHORT_5_5_5_1" "RGBA UNSIGNED_BYTE")
files=("" "luminance" "rgb565" "rgba4444" "luminance-alpha" "rgba5551" "rgba8888")
sheet_args=()
for t in 1 2 3 4 5 6; do
  capture="$out/filter-$t-${files[$t]}.pam"
  echo "\$ filter $t        (window on a 192 x 192 screen)"
  LD_PRELOAD="$build/lib/libfilter_capture.so" FILTER_CAPTURE="$capture" "$build/bin/filter" "$t"
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
  GALLIUM_DRIVER="$rasterizer" "$build/bin/filter-verify" --png "$out/verify-$rasterizer"
done

# The device's own 16-bit surface, off-screen and without an X server.
for rasterizer in llvmpipe softpipe; do
  echo
  echo "\$ env -u DISPLAY GALLIUM_DRIVER=$rasterizer filter-verify --pbuffer --config 565 --png verify-$rasterizer-565"
  env -u DISPLAY GALLIUM_DRIVER="$rasterizer" "$build/bin/filter-verify" --pbuffer --config 565 --png "$out/verify-$rasterizer-565"
done

echo
echo "pictures written to $out:"
(cd "$out" && find . -name '*.png' | sort | sed 's|^\./|  |')
