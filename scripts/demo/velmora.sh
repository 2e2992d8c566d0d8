#!/usr/bin/env bash
# demo/velmora.sh BUILD_DIR: installs BUILD_DIR into a temporary prefix and
# shows the installed layout: the programs in libexec/velmora, only velmora
# and velmora-sandbox on PATH; then the front command and a command in the
# installed sandbox, where the programs go by their own names.
set -euo pipefail
[[ $# == 1 ]] || { echo "usage: scripts/demo/velmora.sh BUILD_DIR" >&2; exit 2; }
build="$(cd "$1" && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/usr"

cmake --install "$build" --prefix "$prefix" >/dev/null
export PATH="$prefix/bin:$PATH"
echo "installed into $prefix:"
echo "\$ ls bin libexec/velmora"
(cd "$prefix" && ls bin libexec/velmora)
echo
for command in "velmora" "velmora filter" "velmora service list"; do
  echo "\$ $command"
  $command || echo "(status $?)"
done
echo
# shellcheck disable=SC2016
inside='service check echo && service call echo 1 i32 7'
echo "\$ velmora-sandbox -- sh -c '$inside'"
TMPDIR="$tmp" velmora-sandbox -- sh -c "$inside"
