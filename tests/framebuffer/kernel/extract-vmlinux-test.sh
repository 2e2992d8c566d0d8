#!/usr/bin/env bash
# Builds small bzImage-shaped files around a fake ELF kernel and checks that
# extract-vmlinux.sh gets the kernel back out of each compression it knows,
# and refuses what is not a whole kernel.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

le() { # VALUE BYTES: little-endian bytes for printf %b
  local v=$1 n=$2 i out=""
  for ((i = 0; i < n; i++)); do out+=$(printf '\\x%02x' $(((v >> (8 * i)) & 255))); done
  echo "$out"
}
poke() { printf '%b' "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

# make_image OUT PAYLOAD SIZE_WORD: 3 setup sectors, the payload 100 bytes
# into the protected-mode part, followed by the size word.
make_image() {
  local out="$1" payload="$2" size="$3" setup=2 offset=100
  local length=$(($(stat -c %s "$payload") + 4))
  head -c $(((setup + 1) * 512 + offset)) /dev/zero >"$out"
  poke "$out" 497 "$(le $setup 1)"
  poke "$out" 514 'HdrS'
  poke "$out" 518 "$(le $((0x20f)) 2)"
  poke "$out" 584 "$(le $offset 4)"
  poke "$out" 588 "$(le "$length" 4)"
  cat "$payload" >>"$out"
  printf '%b' "$(le "$size" 4)" >>"$out"
  head -c 333 /dev/urandom >>"$out" # what follows the payload in a real image
}

{ printf '\177ELF'; head -c 200000 /dev/urandom; } >"$work/kernel"
size=$(stat -c %s "$work/kernel")

failed=0
check() {
  local what="$1"; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failed=1; fi
}
extracts() { "$here/extract-vmlinux.sh" "$1" "$work/out" 2>/dev/null && cmp -s "$work/kernel" "$work/out"; }
refuses() { rm -f "$work/out"; ! "$here/extract-vmlinux.sh" "$1" "$work/out" 2>/dev/null && [[ ! -e "$work/out" ]]; }

xz --check=crc32 -c "$work/kernel" >"$work/xz"
gzip -9c "$work/kernel" >"$work/gz"
zstd -qc "$work/kernel" >"$work/zst"
for kind in xz gz zst; do
  make_image "$work/image.$kind" "$work/$kind" "$size"
  check "$kind payload unpacked whole" extracts "$work/image.$kind"
done

make_image "$work/short" "$work/gz" $((size + 1))
check "a size word that does not match is refused" refuses "$work/short"
head -c 100000 "$work/xz" >"$work/cut"
make_image "$work/cut-image" "$work/cut" "$size"
check "a cut-off payload is refused" refuses "$work/cut-image"
printf 'BZh91AY' >"$work/bz2"
make_image "$work/bz2-image" "$work/bz2" "$size"
check "an unknown compression is refused" refuses "$work/bz2-image"
{ printf 'not an elf'; head -c 1000 /dev/urandom; } | gzip -c >"$work/noelf"
make_image "$work/noelf-image" "$work/noelf" 1010
check "a payload that is no ELF file is refused" refuses "$work/noelf-image"
head -c 4096 /dev/urandom >"$work/random"
check "a file without the boot header is refused" refuses "$work/random"
exit "$failed"
