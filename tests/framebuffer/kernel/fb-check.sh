#!/usr/bin/env bash
# fb-check.sh PROGRAM: boots Debian's own kernel under qemu (software
# emulation) with a static PROGRAM as the guest's refresh (an x86-64 one on
# the amd64 kernel, an arm64 or 32-bit ARM one on the arm64 kernel), runs it
# against a framebuffer driver of that kernel for two seconds and checks its
# report against what the driver itself says through sysfs. The amd64 kernel
# has the virtual framebuffer driver vfb; the arm64 one lacks it and drives
# an emulated Cirrus VGA through DRM's fbdev emulation instead.
# Exit status 77 (skipped) only when this machine cannot run the guest.
set -euo pipefail
program="$1"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cache="${VELMORA_KERNEL_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/velmora-kernel}"
seconds=2

# The guest's kernel follows the program's machine. 32-bit ARM programs run
# on the arm64 kernel, as on a 64-bit device with a 32-bit userland.
case "$(LC_ALL=C readelf -h "$program" | sed -n 's/^ *Machine: *//p')" in
  *X86-64*) arch=amd64 qemu=(qemu-system-x86_64) console=ttyS0 package=qemu-system-x86 ;;
  AArch64 | ARM) arch=arm64 qemu=(qemu-system-aarch64 -M virt -cpu cortex-a57) console=ttyAMA0 package=qemu-system-arm ;;
  *) echo "FAIL: $program is not an x86-64 or ARM program"; exit 1 ;;
esac
# The driver and how it is set up: module parameters go on the kernel command
# line as MODULE.PARAM=VALUE, which the guest's init hands to insmod.
case "$arch" in
  amd64)
    driver=vfb
    # Two 640 x 480 pages of 16 bpp fit, with room for the pans to grow the
    # virtual height (see docs/framebuffer-kernel-check.md).
    memory=2097152
    options="vfb.vfb_enable=1 vfb.videomemorysize=$memory"
    ;;
  arm64)
    # cirrus scans out RGB565 (bochs does not, and DRM's fbdev emulation
    # keeps the depth it started with). The emulation sizes its buffer for
    # the mode given with video= on the VGA connector, at the depth given
    # there; an overallocation of 200 % makes it two pages high.
    driver=cirrus
    qemu+=(-device cirrus-vga)
    mode=640x480
    options="video=VGA-1:$mode-16 drm_kms_helper.drm_fbdev_overalloc=200"
    ;;
esac
command -v "${qemu[0]}" >/dev/null ||
  { echo "SKIP: no ${qemu[0]} (install $package)"; exit 77; }

started=$SECONDS
status=0
kernel=$("$here/kernel-cache.sh" "$cache" "$driver" "$arch") || status=$?
((status == 0)) || exit "$status"
echo "kernel: $kernel (ready after $((SECONDS - started)) s)"

work=$(mktemp -d "${TMPDIR:-/tmp}/fb-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
[[ -e "$kernel/busybox" ]] && export VELMORA_GUEST_BUSYBOX="$kernel/busybox"
"$here/make-initramfs.sh" "$work/initramfs" "$here/init" "$program" "$kernel/modules"

boot() {
  local started=$SECONDS
  timeout 600 "${qemu[@]}" -accel tcg -nographic -no-reboot -m 256M -nic none \
    -kernel "$1" -initrd "$work/initramfs" \
    -append "console=$console quiet panic=-1 velmora.run=$seconds $options" \
    </dev/null >"$work/serial" 2>&1 || true
  echo "booted $(basename "$1"): $((SECONDS - started)) s"
  grep -q '^@@ refresh end' "$work/serial"
}
if [[ "$arch" == arm64 ]]; then
  boot "$kernel/Image" || { tr -d '\r' <"$work/serial"; echo "FAIL: the guest never finished"; exit 1; }
elif [[ ! -e "$kernel/vmlinux" ]] || ! boot "$kernel/vmlinux"; then
  [[ -e "$kernel/vmlinux" ]] && echo "the ELF kernel did not run the guest; trying the bzImage"
  boot "$kernel/vmlinuz" || { tr -d '\r' <"$work/serial"; echo "FAIL: the guest never finished"; exit 1; }
fi
tr -d '\r' <"$work/serial" >"$work/log"
sed -n '/^@@ refresh begin/,/^@@ refresh end/p' "$work/log" | grep -v '^@@' >"$work/out" || true
sysfs() { sed -n "s/^@@ $1 $2=//p" "$work/log"; }

failed=0
check() {
  local what="$1"; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failed=1; fi
}
has() { grep -qxF -- "$1" "$work/out"; }
lacks() { ! grep -qE -- "$1" "$work/out"; }
field() { sed -n "s/^$1 *= \([0-9]*\).*/\1/p" "$work/out"; }

check "every module loaded" eval '! grep -q "^@@ insmod .* failed" "$work/log"'
check "fbcon no longer bound to the framebuffer" \
  grep -q '^@@ console (M) frame buffer device bound=0' "$work/log"
check "refresh still running when stopped" grep -qx '@@ refresh was running' "$work/log"
check "the 16 bpp mode set is accepted" lacks "^FBIOPUT_VSCREENINFO failed"
check "opened /dev/fb0 as fd 3 (the guest has no /dev/graphics)" has "using (fd=3)"
check "id as the driver names itself" has "id           = $(sysfs before name)"
check "depth read back as 16" has "bpp          = 16"
check "virtual size as the driver had it" \
  test "$(field xres_virtual),$(field yres_virtual)" = "$(sysfs before virtual_size)"

# The computed rate must follow from the timings the driver reported (DRM's
# fbdev emulation reports none: pixclock 0, so 0.00 Hz).
timings=$(sed -n 's/^upper_margin=\([0-9]*\), lower_margin=\([0-9]*\), left_margin=\([0-9]*\), right_margin=\([0-9]*\), pixclock=\([0-9]*\),.*/\1 \2 \3 \4 \5/p' "$work/out")
computed=""
if [[ -n "$timings" ]]; then
  read -r upper lower left right pixclock <<<"$timings"
  lines=$(($(field yres) + upper + lower)) columns=$(($(field xres) + left + right))
  computed=$(awk -v p=$((lines * columns * pixclock)) 'BEGIN { printf "%.2f", (p ? int(1e15 / p) : 0) / 1000 }')
fi
check "computed rate from the driver's timings" has "refresh rate = $computed Hz"

rates=$(grep -cE '^refresh rate = [0-9]+\.[0-9]{6} Hz$' "$work/out" || true)
check "rate lines printed ($rates)" test "$rates" -ge 2
check "no measured rate of 0 or less" lacks "^refresh rate = (-|0\.0{6} Hz$)"
check "still 16 bpp after the flips" test "$(sysfs after bits_per_pixel)" = 16

height=$(sysfs after virtual_size | cut -s -d, -f2)
half=$(( ${height:-0} / 2 ))
case "$driver" in
  vfb)
    check "the driver's 16 bpp layout" eval 'has "r            =  0:5" && has "g            =  5:6" && has "b            = 11:5"'
    check "smem_len before the mode set is the module's memory" \
      grep -q "finfo.smem_len=$memory\$" "$work/out"
    # vfb takes a pan past the virtual screen as a request to grow it, and
    # hands the grown height back in refresh's record; refresh halves what it
    # gets back each time, so the height settles at twice the visible one
    # less 1.
    check "virtual height grown by the pans to $height" test "${height:-0}" = $((2 * $(field yres) - 1))
    ;;
  cirrus)
    # DRM's RGB565, red in the high bits.
    check "the driver's 16 bpp layout" eval 'has "r            = 11:5" && has "g            =  5:6" && has "b            =  0:5"'
    check "the mode given on the command line" test "$(field xres)x$(field yres)" = "$mode"
    check "smem_len is the stride times the virtual height" \
      grep -q "finfo.smem_len=$(( $(sysfs before stride) * ${height:-0} ))\$" "$work/out"
    # The overallocation makes the buffer, and the pans leave it alone.
    check "virtual height twice the visible one, kept through the pans" \
      eval 'test "$(sysfs before virtual_size)" = "$(sysfs after virtual_size)" && test "${height:-0}" = $((2 * $(field yres)))'
    ;;
esac
# Both of refresh's pages must have been in the driver's record (sysfs pan)
# while it ran, the second one inside the virtual screen: DRM's fbdev
# emulation records an offset past it too.
check "driver took page 0 and page $half while refresh ran" \
  eval 'grep -qx "@@ during pan=0,0" "$work/log" && grep -qx "@@ during pan=0,$half" "$work/log" &&
    ((half > 0 && half + $(field yres) <= ${height:-0}))'
check "driver left at page 0 or $half" \
  eval '[[ "$(sysfs after pan)" == 0,0 || "$(sysfs after pan)" == "0,$half" ]]'

echo "--- guest output (rate lines after the third left out)"
awk '!/^refresh rate = .*\.[0-9][0-9][0-9][0-9][0-9][0-9] Hz$/ || ++n <= 3' "$work/out"
sed -n 's/^@@ //p' "$work/log" | grep -v '^during '
seen() { sed -n "s/^@@ during $1=//p" "$work/log" | sort | uniq -c | awk '{ printf "%s%s at %s", (NR > 1 ? "; " : ""), $1, $2 }'; }
echo "pan while refresh ran: $(seen pan)"
# Not checked: DRM's fbdev emulation records a pan sent with
# FBIOPUT_VSCREENINFO but leaves its plane where it was.
grep -q '^@@ during scanout=' "$work/log" && echo "plane scanout while refresh ran: $(seen scanout)"
if ((failed)); then
  echo "--- serial console"
  cat "$work/log"
fi
echo "total $((SECONDS - started)) s"
exit "$failed"
