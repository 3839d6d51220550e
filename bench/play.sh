#!/usr/bin/env bash
# vrax-studio play against the live program, in one run, with the same
# one-colour pair and OpenAL's null device:
#   - process CPU time per second over SECONDS (default 20) of each;
#   - play's frame intervals (median, p99), from its buffer swaps;
#   - reload latency: from renaming a new pair over the old one to the first
#     frame that shows it, median of 20 saves (window read back with wmctl).
#
#   bench/play.sh [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" "$@"
fi
seconds="${1:-20}"
cmake --build "$root/build" --target vrax vrax-studio swapTimer wmctl makeExample -j2 >/dev/null
work=$(mktemp -d /tmp/vrax-play-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p Shaders
"$root/build/makeExample" example.wav >/dev/null
cat > Shaders/Quad.vert.glsl <<'GLSL'
#version 450 core
layout(location = 0) in vec3 aPos;
void main() { gl_Position = vec4(aPos, 1.0); }
GLSL
flat() {
  printf '#version 450 core\nout vec4 colour;\nvoid main() { colour = vec4(%s, 1.0); }\n' "$1"
}
flat "0.1, 0.1, 0.2" > Shaders/Quad.frag.glsl
export ALSOFT_DRIVERS=null

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# cpu_per_second PID NAME: CPU seconds per wall second over $seconds.
cpu_per_second() {
  local pid="$1" before after
  sleep 2
  before=$(cpu_ticks "$pid")
  sleep "$seconds"
  after=$(cpu_ticks "$pid")
  awk -v b="$before" -v a="$after" -v s="$seconds" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.3f", (a - b) / hz / s }'
}

"$root/build/vrax" >/dev/null 2>&1 &
pid=$!
"$root/build/wmctl" wait VRAX 30 >/dev/null
live=$(cpu_per_second "$pid")
"$root/build/wmctl" close VRAX
wait "$pid"

SWAP_TIMES_FILE="$work/swaps.txt" LD_PRELOAD="$root/build/bench/libswapTimer.so" \
  "$root/build/vrax-studio" play example.wav >out.txt 2>err.txt &
pid=$!
"$root/build/wmctl" wait example.wav 30 >/dev/null
studio=$(cpu_per_second "$pid")
"$root/build/wmctl" close example.wav
wait "$pid"

echo "CPU time per second, one-colour pair, ${seconds} s each:"
echo "  vrax:              $live"
echo "  vrax-studio play:  $studio"
awk -v a="$studio" -v b="$live" 'BEGIN { printf "  ratio (play / vrax): %.3f (goal: at most 0.15)\n", a / b }'

awk 'NR > 60 { printf "%.3f\n", ($1 - last) / 1e6 } { last = $1 }' swaps.txt | sort -n > intervals.txt
awk '{ d[NR] = $1 } END {
  n = NR
  printf "play frame intervals (%d): median %.2f ms, p99 %.2f ms, worst %.2f ms\n", n, d[int((n + 1) / 2)], d[int(n * 0.99)], d[n]
}' intervals.txt

# Reload latency: rename a pair of a new colour over the old one, then read
# the window back until it shows it.
"$root/build/vrax-studio" play example.wav --size 160x120 >out.txt 2>err.txt &
pid=$!
"$root/build/wmctl" wait example.wav 30 >/dev/null
sleep 1
python3 - "$root/build/wmctl" <<'PY'
import os, subprocess, sys, time
wmctl = sys.argv[1]
def centre():
    subprocess.run([wmctl, "snap", "example.wav", "snap.ppm"], check=True)
    data = open("snap.ppm", "rb").read()
    header = data.split(b"\n", 3)
    w, h = map(int, header[1].split())
    pixels = header[3]
    at = 3 * ((h // 2) * w + w // 2)
    return tuple(pixels[at:at + 3])
latencies = []
for i in range(20):
    level = 40 + 10 * (i % 20)
    colour = "%.4f, 0.0, 0.0" % (level / 255)
    with open("Shaders/.new.glsl", "w") as f:
        f.write("#version 450 core\nout vec4 colour;\nvoid main() { colour = vec4(%s, 1.0); }\n" % colour)
    start = time.monotonic()
    os.rename("Shaders/.new.glsl", "Shaders/Quad.frag.glsl")
    while abs(centre()[0] - level) > 1:
        if time.monotonic() - start > 5:
            sys.exit("the new pair never showed")
    latencies.append((time.monotonic() - start) * 1000)
    time.sleep(0.3)
latencies.sort()
print("reload latency, rename to first new frame (20 saves): median %.1f ms, worst %.1f ms" % (latencies[10], latencies[-1]))
PY
"$root/build/wmctl" close example.wav
wait "$pid"
