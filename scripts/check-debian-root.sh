#!/usr/bin/env bash
# check-debian-root.sh DEB...: the packages as a new user gets them on a
# minimal Debian 12. In a fresh root made by mmdebstrap --variant=minbase
# from the machine's own apt sources, `apt-get install ./velmora-*.deb` must
# succeed, root's `service` must still be Debian's, only velmora names may be
# on PATH and in the man sections, `velmora filter` must print filter's usage
# line and a command in the sandbox must find and call the echo service.
# Skips, saying why, without mmdebstrap, root or the mirror. What it
# downloads is kept in ~/.cache/velmora-debian-root for the next run.
set -euo pipefail
skip() { echo "debian root: skipped: $*"; exit 0; }
(($# > 0)) || { echo "usage: $0 DEB..." >&2; exit 2; }
command -v mmdebstrap >/dev/null || skip "mmdebstrap is not installed"
((EUID == 0)) || skip "making and entering the root needs root"
sources=()
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [[ -s $file ]] && sources+=("$file")
done
((${#sources[@]})) || skip "the machine has no apt sources"
# One of the machine's repositories, fetched the way apt fetches (its proxy
# settings included).
# shellcheck disable=SC2016
release="$(apt-get indextargets --format '$(REPO_URI)dists/$(RELEASE)/InRelease' | head -n 1)"
[[ -n $release ]] || skip "apt has no package lists (apt-get update)"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-debian-root.XXXXXX")"
trap 'rm -rf "$work"' EXIT
# mmdebstrap mounts /proc and /dev in the root; a container may forbid it.
mkdir "$work/proc"
unshare --mount sh -c 'mount -t proc proc "$1"' sh "$work/proc" 2>/dev/null ||
  skip "this machine does not allow mounting /proc (mmdebstrap needs it)"
timeout 60 /usr/lib/apt/apt-helper download-file "$release" "$work/InRelease" >/dev/null 2>&1 ||
  skip "no network: cannot fetch $release"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/velmora-debian-root"
mkdir -p "$cache" "$work/debs"
cp "$@" "$work/debs/"

cat >"$work/check.sh" <<'CHECK'
set -eu
fail() { echo "debian root: $*" >&2; exit 1; }
service="$(command -v service)"
[ "$service" = /usr/sbin/service ] && dpkg -S /usr/sbin/service | grep -q '^init-system-helpers:' ||
  fail "root's service is $service"
files="$(dpkg -L velmora-tools velmora-platform velmora-ipc-dev)"
on_path="$(echo "$files" | grep -E '^(/usr)?(/local)?/(s?bin|games)/.' || true)"
[ "$on_path" = "$(printf '/usr/bin/velmora\n/usr/bin/velmora-sandbox')" ] || fail "on PATH: $on_path"
pages="$(echo "$files" | grep -E '^/usr/share/man/.*/.' | grep -vE '/velmora(-[a-z-]+)?\.[0-9]\.gz$' || true)"
[ -z "$pages" ] || fail "man pages not named velmora: $pages"
usage="$(velmora filter)"
[ "$usage" = "usage: filter <0-6> [pbuffer]" ] || fail "velmora filter printed: $usage"
out="$(velmora-sandbox -- sh -c 'service check echo && service call echo 1 i32 7' 2>&1)" || fail "sandbox: $out"
[ "$out" = "$(printf "Service echo: found\nResult: Parcel(size=4: 00000007 '....')")" ] || fail "sandbox: $out"
echo "debian root: installed; service is Debian's, only velmora names on PATH and in the man pages,"
echo "debian root: velmora filter printed its usage, the sandbox's service echoed 7"
CHECK

# As root with root's PATH, in a minimal root with nothing else installed.
mmdebstrap --quiet --variant=minbase --skip=essential/unlink \
  --setup-hook='mkdir -p "$1/var/cache/apt/archives"' \
  --setup-hook="sync-in $cache /var/cache/apt/archives" \
  --customize-hook="copy-in $work/debs $work/check.sh /tmp" \
  --customize-hook='chroot "$1" sh -c "cd /tmp/debs && DEBIAN_FRONTEND=noninteractive apt-get install -y -q ./*.deb" >"$1/tmp/install.log" 2>&1 || { tail -n 30 "$1/tmp/install.log"; exit 1; }' \
  --customize-hook="sync-out /var/cache/apt/archives $cache" \
  --customize-hook='chroot "$1" env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin sh /tmp/check.sh' \
  bookworm /dev/null "${sources[@]}"
