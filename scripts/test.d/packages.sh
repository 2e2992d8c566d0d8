#!/usr/bin/env bash
# Builds the Debian packages as a packager would (prefix /usr, Debian's build
# flags, warnings not errors), checks them with lintian (no error and no
# warning), extracts them into a temporary root and runs one case of each
# tool from there, against the stand-in platform from the same packages.
#   packages.sh [arm64|armhf]   for another architecture: cross-built, and
#                               the packaged programs run under qemu-user
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$root/tests/support/shell.sh"
arch="${1:-}"
cross=()
case "$arch" in
  "") ;;
  arm64) cross=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake") ;;
  armhf) cross=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake") ;;
  *) echo "usage: $0 [arm64|armhf]" >&2; exit 2 ;;
esac
if [[ -n "$arch" ]]; then
  sysroot="$("$root/scripts/sysroot.sh" "$arch")" || { status=$?; echo "$sysroot"; exit "$status"; }
  cross+=(-DVELMORA_SYSROOT="$sysroot")
  # dpkg-shlibdeps (through CPack) finds the target's libraries' packages
  # in the sysroot's database.
  export DPKG_ADMINDIR="$sysroot/var/lib/dpkg"
fi
build="$root/build-deb${arch:+-$arch}"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-packages.XXXXXX")"
trap 'stop_daemons; rm -rf "$work"' EXIT

# dpkg-buildflags and dpkg-shlibdeps (through CPack) follow the target.
[[ -n "$arch" ]] && export DEB_HOST_ARCH="$arch"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)"
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DVELMORA_BENCH=OFF "${cross[@]}" \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >"$work/configure.log" ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" >"$work/build.log" || { tail -n 60 "$work/build.log"; exit 1; }
# The packaged programs run here through the build's own emulator, if any.
# shellcheck disable=SC2207
run=($(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:[A-Z]*=//p' "$build/CMakeCache.txt" | tr ';' ' '))
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }

debs=("$build"/velmora-tools_*.deb "$build"/velmora-platform_*.deb "$build"/velmora-ipc-dev_*.deb)
for deb in "${debs[@]}"; do [[ -f "$deb" ]] || fail "no package ${deb##*/}"; done
if [[ -n "$arch" ]]; then
  for deb in "${debs[@]}"; do
    [[ "$(dpkg-deb -f "$deb" Architecture)" == "$arch" ]] || fail "${deb##*/} is not for $arch"
  done
fi
lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}" || fail "lintian found errors or warnings"

# Dependencies: computed ones, and tools on the platform (the display library).
tools_depends="$(dpkg-deb -f "${debs[0]}" Depends)"
[[ "$tools_depends" == *velmora-platform* && "$tools_depends" == *libdbus-1-3* ]] ||
  fail "velmora-tools depends on: $tools_depends"
platform_depends="$(dpkg-deb -f "${debs[1]}" Depends)"
for package in libx11-6 dbus-daemon xvfb libgl1-mesa-dri; do
  [[ "$platform_depends" == *"$package"* ]] || fail "velmora-platform does not depend on $package: $platform_depends"
done

for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$work/root"; done
usr="$work/root/usr"
private="$(dirname "$(find "$usr/lib" -name libfbdev-emu.so)")"
programs="$usr/libexec/velmora"
# On PATH only the front command and the sandbox: the programs' own names
# belong to other packages there.
[[ "$(ls "$usr/bin")" == $'velmora\nvelmora-sandbox' && ! -e "$usr/sbin" ]] ||
  fail "on PATH: $(ls "$usr/bin" "$usr/sbin" 2>&1)"

# agent against bluetooth-sim on a private system bus.
daemon "$work/bus.log" dbus-daemon --config-file="$usr/share/velmora/bus.conf" \
  --address="unix:path=$work/bus" --nofork
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus"
wait_until test -S "$work/bus"
daemon "$work/sim.log" "${run[@]}" "$programs/bluetooth-sim" --on-register "pin /org/tavik/hci0/dev_1; release"
wait_until grep -q '^ready ' "$work/sim.log"
timeout 300 "${run[@]}" "$programs/agent" 1234 >"$work/agent.out" 2>"$work/agent.err" ||
  fail "agent: $(cat "$work/agent.err")"
grep -q "Agent has been released" "$work/agent.err" || fail "agent was not released: $(cat "$work/agent.err")"
grep -q "1234" "$work/sim.log" || fail "bluetooth-sim got no PIN code: $(cat "$work/sim.log")"
echo "packages: agent answered bluetooth-sim"
stop_daemons

# service against servicemanager and demo-services.
export VELMORA_SERVICE_MANAGER="$work/sm.sock"
daemon "$work/sm.log" "${run[@]}" "$programs/servicemanager" "$VELMORA_SERVICE_MANAGER"
wait_until "${run[@]}" "$programs/service" list
daemon "$work/demo.log" "${run[@]}" "$programs/demo-services"
wait_until grep -q "demo-services: ready" "$work/demo.log"
[[ "$("${run[@]}" "$programs/service" check echo)" == "Service echo: found" ]] || fail "service check echo"
echo "packages: service found demo-services' echo"
stop_daemons

# filter under Xvfb, through the display library in the private directory.
daemon "$work/xvfb.log" sh -c 'exec Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 480x320x24 3>"$1"' \
  sh "$work/display"
wait_until test -s "$work/display"
for args in "6" "2 pbuffer"; do
  # shellcheck disable=SC2086
  DISPLAY=":$(head -n 1 "$work/display")" LIBGL_ALWAYS_SOFTWARE=1 timeout 300 "${run[@]}" "$programs/filter" $args \
    >"$work/filter.out" 2>"$work/filter.err" || fail "filter $args: $(cat "$work/filter.err")"
done
[[ "$(cat "$work/filter.out")" == "using pbuffer" ]] || fail "filter 2 pbuffer printed: $(cat "$work/filter.out")"
echo "packages: filter drew on the display and on a pbuffer"
stop_daemons

# refresh on the emulated framebuffer, until its first rate line.
# Under qemu the preload is the guest's, never the host loader's.
if ((${#run[@]})); then
  daemon "$work/refresh.out" env FBEMU_VBLANK_HZ=60 "${run[@]}" -E LD_PRELOAD="$private/libfbdev-emu.so" "$programs/refresh"
else
  daemon "$work/refresh.out" env LD_PRELOAD="$private/libfbdev-emu.so" FBEMU_VBLANK_HZ=60 "$programs/refresh"
fi
wait_until grep -q '^refresh rate = ' "$work/refresh.out"
grep -q '^bpp *= 16$' "$work/refresh.out" || fail "refresh: $(cat "$work/refresh.out")"
echo "packages: refresh measured the emulated framebuffer"
stop_daemons

# The front command and the sandbox start the programs themselves, which
# qemu-user cannot do for another machine's programs without binfmt_misc.
if ((${#run[@]} == 0)); then
  check_installed "$usr" "$work"
  echo "packages: velmora ran filter, and the sandbox's service found the echo service"
fi

# As a user gets them: installed with apt-get into a fresh minimal Debian 12.
[[ -n "$arch" ]] || bash "$root/scripts/check-debian-root.sh" "${debs[@]}"
