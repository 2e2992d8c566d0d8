#!/usr/bin/env bash
# install-deps.sh [LIST...]: installs the Debian 12 packages of the named
# lists in scripts/packages/ (LIST.txt), or of every list, that are not
# installed yet. Each part of the project keeps its own list there.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

lists=()
for name in "$@"; do
  if [[ ! -f "$here/packages/$name.txt" ]]; then
    echo "install-deps: no list '$name'; lists: $(cd "$here/packages" && ls -- *.txt | sed 's/\.txt$//' | tr '\n' ' ')" >&2
    exit 2
  fi
  lists+=("$here/packages/$name.txt")
done
((${#lists[@]})) || lists=("$here"/packages/*.txt)

wanted=()
for list in "${lists[@]}"; do
  while read -r line; do
    line="${line%%#*}"
    for pkg in $line; do wanted+=("$pkg"); done
  done < "$list"
done

missing=()
for pkg in "${wanted[@]}"; do
  # One line per installed architecture (a foreign one for cross builds).
  dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -qx 'install ok installed' || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#wanted[@]} packages present"
  exit 0
fi

sudo=()
if [[ "$(id -u)" != 0 ]]; then sudo=(sudo); fi
# Packages of another architecture (name:arm64) need it known to dpkg
# before apt-get update fetches its package lists.
foreign="$(dpkg --print-foreign-architectures)"
for pkg in "${missing[@]}"; do
  [[ "$pkg" == *:* ]] || continue
  arch="${pkg##*:}"
  if ! grep -qx "$arch" <<<"$foreign"; then
    echo "install-deps: adding architecture $arch"
    "${sudo[@]}" dpkg --add-architecture "$arch"
    foreign+=$'\n'"$arch"
  fi
done
echo "install-deps: installing ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
