#!/usr/bin/env bash
# Every gallery picture in play at 800x600 on this machine's rasteriser: the
# example song for SECONDS (default 10) each, and each frame's work (events
# to swapped buffers, without the wait for the next frame) from
# --frame-times: median, p99 and max in ms, and whether p99 holds 14 ms.
#
#   bench/gallery.sh [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" "$@"
fi
seconds="${1:-10}"
cmake --build "$root/build" --target vrax-studio wmctl makeExample -j2 >/dev/null
work=$(mktemp -d /tmp/vrax-gallery-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$root/build/makeExample" example.wav >/dev/null
export ALSOFT_DRIVERS=null

printf "%-10s %8s %8s %8s  %s\n" picture median p99 max "p99 <= 14 ms"
for picture in $("$root/build/vrax-studio" pictures | awk 'NF == 0 { exit } { print $1 }'); do
  "$root/build/vrax-studio" play example.wav --picture "$picture" --frame-times "$picture.txt" >/dev/null 2>&1 &
  pid=$!
  "$root/build/wmctl" wait example.wav 30 >/dev/null
  sleep "$seconds"
  "$root/build/wmctl" close example.wav
  wait "$pid"
  # The first second is start-up (compiling, the first uploads): left out.
  tail -n +61 "$picture.txt" | sort -n | awk -v name="$picture" '{ v[NR] = $1 } END {
    p99 = v[int(NR * 0.99)]; printf "%-10s %8.2f %8.2f %8.2f  %s\n", name, v[int((NR + 1) / 2)], p99, v[NR],
    (p99 <= 14 ? "yes" : "NO") }'
done
