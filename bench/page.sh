#!/usr/bin/env bash
# The page's figures (bench/page.mjs): a setting's change to the new look,
# page load, the server's idle CPU, and what a project file adds to a render.
#
#   bench/page.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/lib.sh"
vrax_page_tools
cmake --build "$root/build" --target vrax-studio -j2 >/dev/null
unset DISPLAY
export ALSOFT_DRIVERS=null
STUDIO_BINARY="$root/build/vrax-studio" exec node "$root/bench/page.mjs"
