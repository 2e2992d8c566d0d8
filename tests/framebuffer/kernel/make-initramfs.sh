#!/usr/bin/env bash
# make-initramfs.sh OUT INIT PROGRAM MODULES_DIR [PARAM...]: writes a newc
# cpio archive to OUT with a static busybox, INIT as /init, PROGRAM as
# /bin/refresh and the modules listed in MODULES_DIR/order; the PARAMs go to
# the last module of that list (the one the guest is about). The busybox is
# the host's, or VELMORA_GUEST_BUSYBOX for a guest of another architecture.
set -euo pipefail
out="$1" init="$2" program="$3" modules="$4"
shift 4

busybox=${VELMORA_GUEST_BUSYBOX:-$(command -v busybox)} ||
  { echo "make-initramfs: no busybox (install busybox-static)" >&2; exit 1; }
if readelf -l "$busybox" | grep -q INTERP; then
  echo "make-initramfs: $busybox is dynamically linked (install busybox-static)" >&2; exit 1
fi
if readelf -l "$program" | grep -q INTERP; then
  echo "make-initramfs: $program is dynamically linked; the guest has no libc" >&2; exit 1
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,dev,proc,sys,modules}
cp "$busybox" "$root/bin/busybox"
for applet in sh mount insmod grep sed sleep kill cat poweroff; do
  ln -s busybox "$root/bin/$applet"
done
cp "$program" "$root/bin/refresh"
install -m 755 "$init" "$root/init"

mapfile -t order <"$modules/order"
for ((i = 0; i < ${#order[@]}; i++)); do
  cp "$modules/${order[i]}" "$root/modules/"
  if ((i == ${#order[@]} - 1)); then
    echo "${order[i]} $*"
  else
    echo "${order[i]}"
  fi
done >"$root/modules/load"

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$out"
