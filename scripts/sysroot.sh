#!/usr/bin/env bash
# sysroot.sh arm64|armhf: makes sure the user's cache holds a root of the
# target's headers and libraries for the cross builds, and prints its
# directory. It is made with mmdebstrap (extract only, nothing runs) from
# scripts/packages/cross-ARCH.txt, from the Debian suites the machine's apt
# configuration names, and made again only when that list changes.
#   VELMORA_SYSROOT_CACHE   where the roots live (default: velmora/ in
#                           $XDG_CACHE_HOME, or ~/.cache)
# Exit status 77, after one "SKIP: " line, when it cannot be made here.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
skip() { echo "SKIP: $*"; exit 77; }

case "${1:-}" in
  arm64 | armhf) arch="$1" ;;
  *) echo "usage: $0 arm64|armhf" >&2; exit 2 ;;
esac
list="$root/scripts/packages/cross-$arch.txt"
cache="${VELMORA_SYSROOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velmora}"
dir="$cache/sysroot-$arch"
# The stamp names the list it was made from, and how (this script); a root
# without one is unfinished.
stamp="$dir/.velmora-packages"
wanted="$(sed -e 's/#.*//' "$list" | xargs)"
recipe="$wanted $(sha256sum <"${BASH_SOURCE[0]}" | cut -c 1-16)"

mkdir -p "$cache"
exec 9>"$cache/sysroot-$arch.lock"
flock 9
if [[ -f "$stamp" && "$(cat "$stamp")" == "$recipe" ]]; then
  echo "$dir"
  exit 0
fi

command -v mmdebstrap >/dev/null || skip "no mmdebstrap (install mmdebstrap) to make the $arch sysroot"
# The Debian suites of this release that apt is configured with: the release
# first, then its updates and security suites.
. /etc/os-release
release="${VERSION_CODENAME:-}"
[[ -n "$release" ]] || skip "/etc/os-release names no release to make the $arch sysroot of"
mapfile -t sources < <(apt-get indextargets --format '$(RELEASE) $(REPO_URI) $(COMPONENT)' \
                         'Identifier: Packages' 'Target-Of: deb' 2>/dev/null |
                       awk -v r="$release" '$1 == r || index($1, r "-") == 1' | sort -u |
                       awk '{ c[$1 " " $2] = c[$1 " " $2] " " $3 }
                            END { for (k in c) { split(k, w, " "); print "deb " w[2] " " w[1] c[k] } }' |
                       sort -k3,3)
((${#sources[@]})) || skip "apt has no package lists of Debian $release here (apt-get update) to make the $arch sysroot from"
release_only=()
for line in "${sources[@]}"; do
  [[ "$(awk '{ print $3 }' <<<"$line")" == "$release" ]] && release_only+=("$line")
done

log="$cache/sysroot-$arch.log"
# apt's download user could not reach a root under a private home; nothing
# of what it downloads is run.
make_root() {
  rm -rf "$dir.new"
  mmdebstrap --variant=extract --arch="$arch" --include="${wanted// /,}" \
    --aptopt='APT::Sandbox::User "root"' --skip=cleanup/apt/cache "$release" "$dir.new" "$@" >"$log" 2>&1
}
# What went wrong, in one line: apt's first error.
failure() { grep -m 1 '^E: ' "$log" || tail -n 1 "$log"; }
started=$SECONDS
if ! make_root "${sources[@]}"; then
  why="$(failure)"
  ((${#release_only[@]} && ${#release_only[@]} < ${#sources[@]})) ||
    skip "cannot make the $arch sysroot: $why"
  echo "sysroot: $arch: the updates or security index failed ($why); making it from $release alone" >&2
  make_root "${release_only[@]}" ||
    skip "cannot make the $arch sysroot: $(failure)"
fi

# The guest's devices and temporary files are the machine's own: qemu looks
# in the sysroot first (a pseudo-terminal there belongs to no devpts).
rm -rf "$dir.new/dev" "$dir.new/tmp"

# Packages link their libraries absolutely (libz.so -> /lib/...): inside the
# root those links must stay inside it, or the linker falls back to the
# static archive next to them.
while IFS= read -r -d '' link; do
  target="$(readlink "$link")"
  [[ "$target" == /proc/* ]] && continue
  ln -sfn "$(realpath -s -m --relative-to="$(dirname "$link")" "$dir.new$target")" "$link"
done < <(find "$dir.new" -type l -lname '/*' -print0)
# Nothing was installed, so dpkg's database is empty; dpkg-shlibdeps needs
# it (DPKG_ADMINDIR) to turn the target's libraries into package
# dependencies: which package has each file, by its path in the final root,
# and the libraries' symbols and shlibs files.
admin="$dir.new/var/lib/dpkg"
control="$(mktemp -d)"
trap 'rm -rf "$control"' EXIT
echo 1 >"$admin/info/format"  # info files named PACKAGE:ARCH
field() { sed -n "s/^$1: //p" "$control/control"; }
for deb in "$dir.new"/var/cache/apt/archives/*.deb; do
  rm -rf "${control:?}"/*
  dpkg-deb -e "$deb" "$control"
  name="$(field Package)"
  [[ "$(field Multi-Arch)" == same ]] && name+=":$(field Architecture)"
  { sed '/^Package:/a Status: install ok installed' "$control/control"; echo; } >>"$admin/status"
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\.||' -e 's|/$||' -e "s|^|$dir|" >"$admin/info/$name.list"
  for file in shlibs symbols; do
    if [[ -f "$control/$file" ]]; then cp "$control/$file" "$admin/info/$name.$file"; fi
  done
done
rm -rf "$dir.new"/var/cache/apt/archives/*.deb
echo "$recipe" >"$dir.new/.velmora-packages"
rm -rf "$dir"
mv "$dir.new" "$dir"
echo "sysroot: made $dir in $((SECONDS - started)) s ($(du -sm "$dir" | cut -f 1) MB)" >&2
echo "$dir"
