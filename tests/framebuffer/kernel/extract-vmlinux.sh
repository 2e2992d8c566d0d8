#!/usr/bin/env bash
# extract-vmlinux.sh BZIMAGE OUT: writes the uncompressed ELF kernel that is
# packed inside an x86 bzImage to OUT. qemu boots that ELF through its PVH
# entry in about half the time the bzImage needs (no in-guest decompression).
# Exit status 1 when the image is not a bzImage this script can unpack.
set -euo pipefail
image="$1" out="$2"

# Unsigned little-endian integer of $2 bytes at byte offset $1 of the image.
le() { od -A n -t "u$2" -j "$1" -N "$2" "$image" | tr -d ' '; }

[[ "$(od -A n -c -j 514 -N 4 "$image" | tr -d ' ')" == HdrS ]] || {
  echo "extract-vmlinux: $image has no x86 boot header" >&2; exit 1; }
version=$(le 518 2)
((version >= 0x208)) || { echo "extract-vmlinux: boot protocol too old" >&2; exit 1; }

# The compressed payload sits inside the protected-mode part, which starts
# after the real-mode setup sectors (a count of 0 means the historical 4).
setup_sects=$(le 497 1)
((setup_sects == 0)) && setup_sects=4
start=$(( (setup_sects + 1) * 512 + $(le 584 4) ))
length=$(le 588 4)

magic=$(od -A n -t x1 -j "$start" -N 4 "$image" | tr -d ' ')
case "$magic" in
  fd377a58) unpack=(xz -dc --single-stream) ;;
  1f8b*)    unpack=(gzip -dc) ;;
  28b52ffd) unpack=(zstd -dcq) ;;
  *) echo "extract-vmlinux: unknown payload compression ($magic)" >&2; exit 1 ;;
esac

# The build appends the unpacked size as a 32-bit word after the stream.
size=$(le $((start + length - 4)) 4)
tmp="$out.tmp.$$"
trap 'rm -f "$tmp"' EXIT
# gzip and zstd complain about that size word as trailing data; the size
# check below is what tells a whole kernel from a broken one.
tail -c +$((start + 1)) "$image" | head -c "$length" | "${unpack[@]}" >"$tmp" 2>/dev/null || true
if [[ "$(od -A n -c -N 4 "$tmp" | tr -d ' ')" != 177ELF || "$(stat -c %s "$tmp")" != "$size" ]]; then
  echo "extract-vmlinux: payload did not unpack to a whole ELF image" >&2; exit 1
fi
mv "$tmp" "$out"
