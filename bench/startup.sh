#!/usr/bin/env bash
# What `play --capture` does before its first frame (the dark a VJ waits
# through): the seconds from its start to the first frame in a window, as
# `play --verbose` reports them with what start-up spent its time on, over
# a private PulseAudio server's monitor. Median of five, on this machine as
# it is and with four CPU hogs beside it (stress-ng), side by side.
#
#   bench/startup.sh        (starts its own display when none is set)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" bash "$0" "$@"
fi
cmake --build "$root/build" --target vrax-studio -j2 >/dev/null
studio="$root/build/vrax-studio"
work=$(mktemp -d /tmp/vrax-startup-XXXXXX)
source "$root/bench/privatePulse.sh"
hogs=""
trap 'kill ${pulse:-} $hogs 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
private_pulse "$work"
export ALSOFT_DRIVERS=pulse  # capture through the private server

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# One start: play until it says its first frame is drawn, then stop it.
firstFrame() {
  "$studio" play --capture --picture bars --verbose > out.txt 2> err.txt &
  local player=$! line=""
  for _ in $(seq 300); do
    line=$(grep -m1 "the first frame drawn" err.txt || true)
    [ -n "$line" ] && break
    sleep 0.1
  done
  kill -INT "$player" 2>/dev/null || true
  wait "$player" 2>/dev/null || true
  echo "$line" | sed -n 's/.*the first frame drawn \([0-9.]*\) s after start.*/\1/p'
  echo "$line" | sed -n 's/.*(seconds: \(.*\))/\1/p' >> steps.txt
}

measure() {
  : > steps.txt
  for run in 1 2 3 4 5; do firstFrame; done | median
}

quiet=$(measure)
echo "play --capture, start to first frame (median of 5): $quiet s on this machine"
echo "  where the last start spent it: $(tail -1 steps.txt)"
stress-ng --cpu 4 --timeout 600 --quiet &
hogs=$!
sleep 1
busy=$(measure)
echo "  with four CPU hogs beside it: $busy s ($(echo "scale=2; $busy / $quiet" | bc)x)"
echo "  where the last start spent it: $(tail -1 steps.txt)"
