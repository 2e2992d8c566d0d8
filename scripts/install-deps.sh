#!/usr/bin/env bash
# install-deps.sh [LIST...]: installs the Debian 12 packages of the named
# lists in scripts/packages/ (LIST.txt), or of every list, that are not
# installed yet. Each part of the project keeps its own list there. The
# cross-ARCH.txt lists are not for this machine: they name what goes into
# the ARM builds' sysroots (scripts/sysroot.sh). Only packages of this
# machine's own architecture are installed.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

lists=()
for name in "$@"; do
  if [[ "$name" == cross-* ]]; then
    echo "install-deps: '$name' lists a sysroot's packages: scripts/sysroot.sh ${name#cross-} makes it" >&2
    exit 2
  fi
  if [[ ! -f "$here/packages/$name.txt" ]]; then
    echo "install-deps: no list '$name'; lists: $(cd "$here/packages" && ls -- *.txt | grep -v '^cross-' | sed 's/\.txt$//' | tr '\n' ' ')" >&2
    exit 2
  fi
  lists+=("$here/packages/$name.txt")
done
if ((${#lists[@]} == 0)); then
  for list in "$here"/packages/*.txt; do
    [[ "$(basename "$list")" == cross-* ]] || lists+=("$list")
  done
fi

wanted=()
for list in "${lists[@]}"; do
  while read -r line; do
    line="${line%%#*}"
    for pkg in $line; do wanted+=("$pkg"); done
  done < "$list"
done

missing=()
native="$(dpkg --print-architecture)"
for pkg in "${wanted[@]}"; do
  # Installed for this machine: a machine that once added another
  # architecture answers with a line for each.
  dpkg-query -W -f='${Status} ${Architecture}\n' "$pkg" 2>/dev/null |
    grep -qxE "install ok installed ($native|all)" || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#wanted[@]} packages present"
  exit 0
fi

sudo=()
if [[ "$(id -u)" != 0 ]]; then sudo=(sudo); fi
echo "install-deps: installing ${missing[*]}"
# An index that fails to download (a mirror in the middle of a sync, a
# foreign architecture an earlier setup added) need not stop anything: apt
# keeps the lists it had, and the install below says whether they serve.
log="$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX")"
trap 'rm -f "$log"' EXIT
if ! "${sudo[@]}" apt-get update >"$log" 2>&1; then
  echo "install-deps: apt-get update failed, going on with the lists apt has: $(grep -m 1 -E '^(E|W): ' "$log" || tail -n 1 "$log")"
fi
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
