#!/usr/bin/env bash
# kernel-cache.sh CACHE MODULE [ARCH]: makes sure CACHE holds Debian's kernel
# for this release and ARCH (amd64 or arm64; the package linux-image-ARCH
# depends on) unpacked far enough to boot it with MODULE, and prints the
# directory that has
#   vmlinuz          the kernel as packaged (amd64: the bzImage)
#   vmlinux          amd64: the unpacked ELF kernel, when it could be extracted
#   Image            arm64: the uncompressed kernel image
#   busybox          arm64: a static busybox of that architecture
#   modules/*.ko     MODULE and every module it needs, uncompressed
#   modules/order    their file names, dependencies first
# The package is fetched once (about 70 MB) and kept in CACHE.
# Exit status 77 when the package cannot be had on this machine.
set -euo pipefail
cache="$1" module="$2" arch="${3:-amd64}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
skip() { echo "SKIP: $*" >&2; exit 77; }

mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9

# A kernel directory is complete for one module, the one its stamp names:
# asked for another, it is unpacked again.
complete() { [[ "$(cat "$1/complete" 2>/dev/null)" == "${module//-/_}" ]]; }

# The newest kernel of ARCH already unpacked here, for a machine without
# package lists.
cached_kernel() {
  local dir
  for dir in $(ls -1dt "$cache"/linux-image-*-"$arch"_*/ 2>/dev/null); do
    complete "$dir" && { echo "${dir%/}"; return 0; }
  done
  return 1
}

# This machine's apt knows its own architecture's kernel. Another one's is
# looked up with apt's own options in a private state under CACHE, so that
# dpkg never learns of that architecture; its lists are fetched again after
# a day. An index that fails to download is no matter while the kernel's
# package is still known.
apt=(apt-get)
cache_query=(apt-cache)
if [[ "$arch" != "$(dpkg --print-architecture)" ]]; then
  state="$cache/apt-$arch"
  mkdir -p "$state/lists/partial" "$state/archives/partial"
  touch "$state/status"
  options=(-o APT::Architecture="$arch" -o APT::Architectures="$arch"
           -o Dir::State="$state" -o Dir::State::Lists="$state/lists" -o Dir::State::status="$state/status"
           -o Dir::Cache="$state" -o Dir::Cache::archives="$state/archives"
           -o Debug::NoLocking=true -o APT::Sandbox::User=root)
  apt=(apt-get "${options[@]}")
  cache_query=(apt-cache "${options[@]}")
  if [[ -z "$(find "$state/lists" -maxdepth 1 -name '*Packages*' -mtime -1 2>/dev/null)" ]]; then
    "${apt[@]}" -q update >"$cache/update-$arch.log" 2>&1 ||
      echo "kernel-cache: apt-get update for $arch failed, going on with the lists it has: $(grep -m 1 '^E: ' "$cache/update-$arch.log" || tail -n 1 "$cache/update-$arch.log")" >&2
  fi
fi
pkg=$("${cache_query[@]}" depends "linux-image-$arch" 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }' || true)
version=""
[[ -n "$pkg" ]] && version=$("${cache_query[@]}" policy "$pkg" 2>/dev/null | awk '$1 == "Candidate:" { print $2 }')
if [[ -z "$pkg" || -z "$version" || "$version" == "(none)" ]]; then
  if dir=$(cached_kernel); then echo "$dir"; exit 0; fi
  skip "apt knows no linux-image-$arch kernel (no package lists for $arch?) and none is cached in $cache"
fi
download=$pkg
pkg=${pkg%%:*}

dir="$cache/${pkg}_${version//:/%3a}"
if complete "$dir"; then echo "$dir"; exit 0; fi

deb=$(ls "$cache"/"${pkg}"_*.deb 2>/dev/null | grep -F "_${version//:/%3a}_" | head -n 1 || true)
if [[ -z "$deb" ]]; then
  echo "kernel-cache: downloading $pkg $version into $cache" >&2
  # Into a scratch directory first, so that a run stopped mid-download leaves
  # no truncated package behind. apt warns when its sandbox user cannot
  # write there; the download works all the same.
  rm -rf "$cache/download" && mkdir "$cache/download"
  (cd "$cache/download" && "${apt[@]}" download -q "$download=$version") >"$cache/download.log" 2>&1 ||
    { cat "$cache/download.log" >&2; skip "cannot download $pkg $version"; }
  mv "$cache/download/"*.deb "$cache/"
  rmdir "$cache/download"
  deb=$(ls "$cache"/"${pkg}"_*.deb | grep -F "_${version//:/%3a}_" | head -n 1)
fi

rm -rf "$dir" && mkdir -p "$dir/modules"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Pull named members out of the package's file tree into $tmp.
unpack() { dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tmp" "$@"; }

listing="$tmp/listing"
dpkg-deb --fsys-tarfile "$deb" | tar -t >"$listing"
image=$(grep -m 1 -E '^\./boot/vmlinuz-' "$listing") || { echo "kernel-cache: no vmlinuz in $deb" >&2; exit 1; }

# A module's path by its name; file names may use - where names use _.
path_of() {
  local name="${1//-/_}" p base
  while read -r p; do
    base=$(basename "$p"); base="${base%%.ko*}"
    [[ "${base//-/_}" == "$name" ]] && { echo "$p"; return 0; }
  done < <(grep -E '\.ko(\.xz|\.zst|\.gz)?$' "$listing")
  return 1
}

# Plain .ko bytes of a member already unpacked into $tmp.
plain() {
  case "$1" in
    *.xz) xz -dc "$tmp/$1" ;;
    *.zst) zstd -dcq "$tmp/$1" ;;
    *.gz) gzip -dc "$tmp/$1" ;;
    *) cat "$tmp/$1" ;;
  esac
}

unpack "$image"
cp "$tmp/$image" "$dir/vmlinuz"

# Walk the dependencies (the depends= entry each module carries), then write
# them out so that every module comes after the ones it needs.
declare -A seen=()
order=()
visit() {
  local name="${1//-/_}" p deps dep
  [[ -n "${seen[$name]:-}" ]] && return 0
  seen[$name]=1
  p=$(path_of "$name") || { echo "kernel-cache: module $name is not in $deb" >&2; exit 1; }
  unpack "$p"
  plain "$p" >"$dir/modules/$name.ko"
  deps=$(tr '\0' '\n' <"$dir/modules/$name.ko" | sed -n 's/^depends=//p' | head -n 1)
  for dep in ${deps//,/ }; do visit "$dep"; done
  order+=("$name.ko")
}
visit "$module"
printf '%s\n' "${order[@]}" >"$dir/modules/order"

case "$arch" in
  amd64)
    "$here/extract-vmlinux.sh" "$dir/vmlinuz" "$dir/vmlinux" ||
      echo "kernel-cache: no ELF kernel extracted; the bzImage will be booted" >&2
    ;;
  arm64)
    # Debian packs the arm64 Image with gzip; qemu then need not unpack it.
    if gzip -t "$dir/vmlinuz" 2>/dev/null; then gzip -dc "$dir/vmlinuz" >"$dir/Image"; else cp "$dir/vmlinuz" "$dir/Image"; fi
    # The guest's shell and tools: this architecture's static busybox.
    bb=$(ls "$cache"/busybox-static_*_"$arch".deb 2>/dev/null | head -n 1 || true)
    if [[ -z "$bb" ]]; then
      rm -rf "$cache/download" && mkdir "$cache/download"
      (cd "$cache/download" && "${apt[@]}" download -q busybox-static) >"$cache/download.log" 2>&1 ||
        { cat "$cache/download.log" >&2; skip "cannot download busybox-static for $arch"; }
      mv "$cache/download/"*.deb "$cache/"
      rmdir "$cache/download"
      bb=$(ls "$cache"/busybox-static_*_"$arch".deb | head -n 1)
    fi
    dpkg-deb --fsys-tarfile "$bb" | tar -x -C "$tmp" ./bin/busybox
    cp "$tmp/bin/busybox" "$dir/busybox"
    ;;
esac
echo "${module//-/_}" >"$dir/complete"
# Only the newest kernel of each architecture is kept: drop what earlier
# releases left here.
for old in "$cache"/linux-image-*-"$arch"_*; do
  case "$old" in "$dir" | "$deb") ;; *) rm -rf "$old" ;; esac
done
echo "$dir"
