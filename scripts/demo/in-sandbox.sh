# shellcheck shell=bash
# Sourced by a demo with its arguments (BUILD_DIR): sets `build` and runs
# the demo again inside that build's sandbox, unless it runs there already;
# `sandbox_options`, when set, go to the sandbox.
[[ $# == 1 ]] || { echo "usage: scripts/demo/${BASH_SOURCE[1]##*/} BUILD_DIR" >&2; exit 2; }
build="$(cd "$1" && pwd)"
[[ ${VELMORA_DEMO_SANDBOX-} == "$build" ]] ||
  VELMORA_DEMO_SANDBOX="$build" exec "$build/bin/velmora-sandbox" ${sandbox_options[@]+"${sandbox_options[@]}"} -- bash "${BASH_SOURCE[1]}" "$build"
