#!/usr/bin/env bash
# vrax-studio play --capture --no-window --stream, received by ffmpeg on
# 127.0.0.1 (an SRT listener that decodes every frame, its checksum and mean, each
# frame stamped with the wall clock when it arrived), on a private
# PulseAudio server with a null sink:
#   1. latency: 20 clicks played into the sink (paplay --latency-msec 20) at
#      known wall-clock times, a pair that flashes white at 1 kHz; for each,
#      the arrival of the first white frame. Stated with what it includes:
#      the receiver's SRT latency (120 ms, SRT's default) and paplay's 20 ms.
#   2. sustained: the example song looping into the sink, 1280x720@30 with
#      `ring` for SECONDS (default 600): frames received a second (by arrival
#      and by count over the run), frames the sender dropped, its CPU.
#   3. the same with the dearest gallery picture (pulse).
#
#   bench/live.sh [SECONDS]          (PRESET=ultrafast: x264's speed, default play's)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-600}"
cmake --build "$root/build" --target vrax-studio makeExample -j2 >/dev/null
studio="$root/build/vrax-studio"
work=$(mktemp -d /tmp/vrax-live-XXXXXX)
source "$root/bench/privatePulse.sh"
private_pulse "$work"
trap 'kill $pulse 2>/dev/null; wait $pulse 2>/dev/null; pkill -P $$ 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
export ALSOFT_DRIVERS=pulse
"$root/build/makeExample" song.wav >/dev/null
write_flash_pair flash
write_click click.wav

port=9700
# receive NAME: an SRT listener decoding every frame (showinfo: its checksum
# and mean), each stamped with the wall clock at arrival (in 1/90000 s).
receive() {
  ffmpeg -hide_banner -nostats -loglevel info -use_wallclock_as_timestamps 1 -copyts -analyzeduration 500000 \
    -f mpegts -i "srt://127.0.0.1:$port?mode=listener" -map 0:v -vf showinfo -f null - 2>"$1.frames" &
  receiver=$!
  for _ in $(seq 100); do ss -lun | grep -q "127.0.0.1:$port " && break; sleep 0.05; done
}
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# 1. latency
if [ -z "${SKIP_LATENCY:-}" ]; then
receive clicks
"$studio" play --capture "$monitor" --no-window --stream "srt://127.0.0.1:$port" --shaders flash --size 64x48 \
  >clicks.out 2>clicks.sender &
sender=$!
for _ in $(seq 100); do grep -q pts_time clicks.frames && break; sleep 0.1; done
sleep 2
: > clicks.at
for _ in $(seq 20); do
  date +%s.%N >> clicks.at
  paplay --latency-msec=20 click.wav
  sleep 1.4
done
sleep 1
kill -INT $sender; wait $sender || true
wait $receiver || true
python3 - <<'PY'
import re, statistics
clicks = [float(l) for l in open("clicks.at")]
frames = [(int(m.group(1)) / 90000, int(m.group(2)))
          for m in re.finditer(r" pts:(\d+) .*?mean:\[(\d+)", open("clicks.frames").read())]
lat = []
for c in clicks:
    seen = next((t for t, y in frames if t >= c and y > 128), None)
    if seen is not None and seen - c < 1.0:
        lat.append((seen - c) * 1000)
lat.sort()
if not lat:
    raise SystemExit("latency: no click was seen")
print(f"latency  clicks {len(lat)}/20  median {statistics.median(lat):.0f} ms  worst {max(lat):.0f} ms"
      "  (includes SRT's 120 ms receive latency and paplay's 20 ms)")
PY
fi

# 2 and 3. sustained
sustained() {  # sustained PICTURE
  local picture=$1
  port=$((port + 1))
  receive "$picture"
  ( while true; do paplay song.wav; done ) &
  local music=$!
  "$studio" play --capture "$monitor" --no-window --stream "srt://127.0.0.1:$port" --picture "$picture" \
    --size 1280x720 --fps 30 ${PRESET:+--preset "$PRESET"} >"$picture.out" 2>"$picture.sender" &
  local sender=$!
  for _ in $(seq 100); do grep -q pts_time "$picture.frames" && break; sleep 0.1; done
  local c0 t0
  c0=$(cpu $sender); t0=$(date +%s.%N)
  sleep "$seconds"
  local c1 t1
  c1=$(cpu $sender); t1=$(date +%s.%N)
  kill -INT $sender; wait $sender || true
  kill $music 2>/dev/null; wait $music 2>/dev/null || true
  pkill paplay || true
  wait $receiver || true
  local ticks
  ticks=$(getconf CLK_TCK)
  python3 - "$picture" "$c0" "$c1" "$t0" "$t1" "$ticks" <<'PY'
import sys, re
name, c0, c1, t0, t1, tck = sys.argv[1], *map(float, sys.argv[2:])
times = [int(m.group(1)) / 90000 for m in re.finditer(r" pts:(\d+) ", open(name + ".frames").read())]
inside = [t for t in times if t0 <= t <= t1]
gaps = sorted(b - a for a, b in zip(inside, inside[1:])) or [0]
said = open(name + ".sender").read()
m = re.search(r"streamed (\d+) frames.*?(\d+) dropped", said)
cpu = (c1 - c0) / tck / (t1 - t0) * 100
print(f"{name:8s} {t1 - t0:.0f} s at 1280x720@30: received {len(inside) / (t1 - t0):.2f} frames/s"
      f" (all {len(times)}), longest gap between arrivals {gaps[-1] * 1000:.0f} ms, sender dropped {m.group(2) if m else '?'}"
      f" of {m.group(1) if m else '?'}, sender CPU {cpu:.0f}% of one core")
PY
}
for picture in ${PICTURES:-ring pulse}; do
  sustained "$picture"
done
