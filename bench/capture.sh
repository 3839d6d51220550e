#!/usr/bin/env bash
# vrax-studio play --capture on a private PulseAudio server with a null sink:
#   - latency from starting `paplay` of a click to the first frame whose
#     spectrum shows it (read back with wmctl), median and p90 of 20 clicks;
#     it includes paplay's own start and the read-back's few milliseconds;
#   - CPU time per second while capturing, against play of a file, with the
#     same one-colour pair.
#
#   bench/capture.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" "$@"
fi
cmake --build "$root/build" --target vrax-studio wmctl makeExample -j2 >/dev/null
work=$(mktemp -d /tmp/vrax-capture-XXXXXX)
source "$root/bench/privatePulse.sh"
private_pulse "$work"
trap 'kill $pulse 2>/dev/null; wait $pulse 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
"$root/build/makeExample" example.wav >/dev/null
write_flash_pair flash
mkdir -p Shaders
cp flash/Quad.vert.glsl Shaders/
printf '#version 450 core\nout vec4 colour;\nvoid main() { colour = vec4(0.1, 0.1, 0.2, 1.0); }\n' > Shaders/Quad.frag.glsl
write_click click.wav
export ALSOFT_DRIVERS=pulse

"$root/build/vrax-studio" play --capture --shaders flash --size 64x48 >out.txt 2>err.txt &
pid=$!
"$root/build/wmctl" wait "$monitor" 30 >/dev/null
sleep 1.5  # the first samples come about half a second after the capture starts
python3 - "$root/build/wmctl" "$monitor" <<'PY'
import subprocess, sys, time
wmctl, name = sys.argv[1], sys.argv[2]
def lit():
    subprocess.run([wmctl, "snap", name, "snap.ppm"], check=True)
    data = open("snap.ppm", "rb").read()
    return data[-3] > 128
latencies = []
for i in range(20):
    while lit():
        time.sleep(0.05)
    time.sleep(0.3)
    start = time.monotonic()
    player = subprocess.Popen(["paplay", "click.wav"])
    while not lit():
        if time.monotonic() - start > 5:
            sys.exit("the click never showed")
    latencies.append((time.monotonic() - start) * 1000)
    player.wait()
latencies.sort()
print("capture latency, paplay start to first lit frame (20 clicks): median %.0f ms, p90 %.0f ms" % (
    latencies[10], latencies[17]))
PY
"$root/build/wmctl" close "$monitor"
wait "$pid"

cpu() {  # cpu NAME ARGS...: CPU seconds per second over 20 s
  local name="$1"
  shift
  "$root/build/vrax-studio" play "$@" >/dev/null 2>&1 &
  local p=$! before after
  "$root/build/wmctl" wait "$name" 30 >/dev/null
  sleep 2
  before=$(awk '{ print $14 + $15 }' /proc/$p/stat)
  sleep 20
  after=$(awk '{ print $14 + $15 }' /proc/$p/stat)
  "$root/build/wmctl" close "$name"
  wait "$p"
  awk -v b="$before" -v a="$after" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.3f", (a - b) / hz / 20 }'
}
paplay example.wav &
player=$!
capturing=$(cpu "$monitor" --capture)
kill $player 2>/dev/null || true
ALSOFT_DRIVERS=null
playing=$(ALSOFT_DRIVERS=null cpu example.wav example.wav)
echo "CPU time per second, one-colour pair: capture $capturing, play of a file $playing"
