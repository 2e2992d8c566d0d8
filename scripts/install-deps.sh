#!/usr/bin/env bash
# Installs the Debian 12 packages listed in scripts/packages/*.txt that are
# not installed yet. Each part of the project keeps its own list there.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

wanted=()
for list in "$here"/packages/*.txt; do
  while read -r line; do
    line="${line%%#*}"
    for pkg in $line; do wanted+=("$pkg"); done
  done < "$list"
done

missing=()
for pkg in "${wanted[@]}"; do
  status="$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)"
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#wanted[@]} packages present"
  exit 0
fi

sudo=()
if [[ "$(id -u)" != 0 ]]; then sudo=(sudo); fi
echo "install-deps: installing ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
