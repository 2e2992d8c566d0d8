#!/usr/bin/env bash
# install-test.sh BUILD_DIR: installs BUILD_DIR into a temporary prefix, checks
# what went where, runs the installed front command and sandbox, then builds
# a program against the installed IPC library, once through pkg-config and
# once through find_package(VelmoraIPC), and runs both against the installed
# servicemanager. CXX, CXXFLAGS and LDFLAGS are
# used as a user's build would use them; in a cross build, programs of the
# target run through VELMORA_EMULATOR and CMake gets VELMORA_TOOLCHAIN_FILE.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../support/shell.sh"
build="$1"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-install.XXXXXX")"
trap 'stop_daemons; rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

pc="$(find "$prefix" -name velmora-ipc.pc)"
[[ -n "$pc" ]] || fail "no velmora-ipc.pc installed"
libdir="$(dirname "$(dirname "$pc")")"
programs="$prefix/libexec/velmora"
for file in libexec/velmora/{agent,service,filter,refresh,filter-verify,servicemanager,demo-services,bluetooth-sim} \
            bin/velmora bin/velmora-sandbox share/velmora/bus.conf include/velmora/IServiceManager.h \
            share/bash-completion/completions/velmora; do
  [[ -f "$prefix/$file" ]] || fail "$file not installed"
done
# On PATH and in the man sections only velmora names: the programs' own
# belong to other packages (service(8), filter(1)).
[[ "$(ls "$prefix/bin")" == $'velmora\nvelmora-sandbox' ]] || fail "in bin: $(ls "$prefix/bin")"
[[ ! -e "$prefix/sbin" ]] || fail "in sbin: $(ls "$prefix/sbin")"
pages="$(cd "$prefix/share/man" && find . -type f | sort)"
[[ -n "$pages" ]] || fail "no man pages"
strays="$(grep -Ev '^\./man[18]/velmora(-[a-z-]+)?\.[18]\.gz$' <<<"$pages" || true)"
[[ -z "$strays" ]] || fail "man pages not named velmora: $strays"
[[ "$(ls "$prefix/share/bash-completion/completions")" == velmora ]] ||
  fail "completions: $(ls "$prefix/share/bash-completion/completions")"
for file in velmora/libfbdev-emu.so velmora/libvelmora_display.so libvelmora_ipc.a \
            cmake/VelmoraIPC/VelmoraIPCConfig.cmake; do
  [[ -f "$libdir/$file" ]] || fail "$file not installed in $libdir"
done
# Public headers only, and no test program, test library or benchmark.
diff <(cd "$here/../../platform/ipc/include/velmora" && ls) <(ls "$prefix/include/velmora") ||
  fail "installed headers differ from the public ones"
strays="$(find "$prefix" \( -iname '*test*' -o -iname '*bench*' \) -print)"
[[ -z "$strays" ]] || fail "test files installed: $strays"
readelf -d "$programs/filter" | grep -q 'RUNPATH.*\$ORIGIN/' || fail "filter has no relative RUNPATH"
[[ "$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --variable=prefix velmora-ipc)" == "$prefix" ]] ||
  fail "velmora-ipc.pc does not name the prefix installed to"

# Out of tree: a copy of the program's sources, nothing from this tree.
cp -r "$here/consumer" "$work/src"
cxx="${CXX:-c++}"
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++20 ${CXXFLAGS:-} "$work/src/probe.cpp" -o "$work/probe-pkg-config" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs velmora-ipc) ${LDFLAGS:-}
toolchain=()
[[ -n "${VELMORA_TOOLCHAIN_FILE:-}" ]] &&
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$VELMORA_TOOLCHAIN_FILE" -DVELMORA_SYSROOT="${VELMORA_SYSROOT:-}")
cmake -S "$work/src" -B "$work/cmake-build" -DCMAKE_CXX_COMPILER="$cxx" "${toolchain[@]}" \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" || { cat "$work/cmake.log"; exit 1; }
cmake --build "$work/cmake-build" >>"$work/cmake.log" || { cat "$work/cmake.log"; exit 1; }

# shellcheck disable=SC2206
run=(${VELMORA_EMULATOR:-})
# The front command and the sandbox start the installed programs themselves,
# which qemu-user cannot do without binfmt_misc.
((${#run[@]})) || check_installed "$prefix" "$work"
export VELMORA_SERVICE_MANAGER="$work/sm.sock"
daemon "$work/servicemanager.log" "${run[@]}" "$programs/servicemanager" "$VELMORA_SERVICE_MANAGER"
wait_until "${run[@]}" "$programs/service" list
for probe in "$work/probe-pkg-config" "$work/cmake-build/probe"; do
  out="$("${run[@]}" "$probe" "probe-$(basename "$probe")")" || fail "$probe failed"
  [[ "$out" == "probe-$(basename "$probe"): 42" ]] || fail "$probe printed: $out"
done
echo "installed, built against through pkg-config and find_package, and ran"
