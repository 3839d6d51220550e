#!/usr/bin/env bash
# How far apart, by the received stream's own timestamps, a captured click
# and the flash it makes are: `play --capture --no-window --stream srt://…`
# on a private PulseAudio server with a null sink, clicks (1 kHz, 100 ms)
# played into the sink every 0.7 s, a pair that flashes white while 1 kHz
# is loud; the receiver (ffmpeg on 127.0.0.1) keeps the stream as it came.
# For each flash: the click's onset in the received sound minus the flash's
# picture time, in ms and in frames (30 fps). Positive: the sound is late.
#
#   bench/captureSync.sh [CLICKS]     (default 20)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
clicks="${1:-20}"
build="$root/${BUILD:-build}"
cmake --build "$build" --target vrax-studio -j2 >/dev/null
studio="$build/vrax-studio"
work=$(mktemp -d /tmp/vrax-sync-XXXXXX)
source "$root/bench/privatePulse.sh"
private_pulse "$work"
trap 'kill $pulse 2>/dev/null; wait $pulse 2>/dev/null; pkill -P $$ 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
export ALSOFT_DRIVERS=pulse
write_flash_pair flash
write_click click.wav
port=9710
ffmpeg -v error -y -analyzeduration 500000 -f mpegts -i "srt://127.0.0.1:$port?mode=listener" -c copy \
  -f mpegts got.ts &
receiver=$!
for _ in $(seq 100); do ss -lun | grep -q "127.0.0.1:$port " && break; sleep 0.05; done
"$studio" play --capture "$monitor" --no-window --stream "srt://127.0.0.1:$port" --shaders flash \
  --size 64x48 --level off >sender.out 2>sender.err &
sender=$!
sleep 3
for _ in $(seq "$clicks"); do
  paplay --latency-msec=20 click.wav
  sleep 0.6
done
sleep 1
kill -INT $sender; wait $sender || true
wait $receiver || true
python3 - <<'PY'
import subprocess, statistics, struct
def run(*a): return subprocess.run(a, capture_output=True, check=True).stdout
frames = [l.strip(",") for l in run("ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pts_time",
                         "-of", "csv=p=0", "got.ts").decode().split() if l]
raw = run("ffmpeg", "-v", "error", "-i", "got.ts", "-map", "0:v", "-fps_mode", "passthrough", "-f", "rawvideo",
          "-pix_fmt", "gray", "-")
size = 64 * 48
flashes, before = [], 0
for n, t in enumerate(frames):
    if (n + 1) * size > len(raw): break
    mean = sum(raw[n * size:(n + 1) * size]) / size
    if mean > 128 and before < 128: flashes.append(float(t))
    before = mean
rate = 44100
pcm = run("ffmpeg", "-v", "error", "-i", "got.ts", "-map", "0:a", "-ac", "1", "-ar", str(rate), "-f", "f32le", "-")
samples = struct.unpack("<%df" % (len(pcm) // 4), pcm)
start = float(run("ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries", "stream=start_time",
                  "-of", "csv=p=0", "got.ts").decode().split()[0])
onsets, last = [], -10.0
for i, v in enumerate(samples):
    if abs(v) > 0.2:
        t = start + i / rate
        if t - last > 0.3: onsets.append(t)
        last = t
offsets = []
for f in flashes:
    near = min(onsets, key=lambda o: abs(o - f), default=None)
    if near is not None and abs(near - f) < 0.3: offsets.append((near - f) * 1000)
if not offsets:
    raise SystemExit("no flash had a click near it")
frame = 1000 / 30
print("flashes %d, clicks %d, matched %d" % (len(flashes), len(onsets), len(offsets)))
print("sound minus picture, ms: median %.1f, min %.1f, max %.1f (frames: median %.2f, worst %.2f)" % (
    statistics.median(offsets), min(offsets), max(offsets), statistics.median(offsets) / frame,
    max(abs(o) for o in offsets) / frame))
print("within one frame: %d of %d" % (sum(abs(o) <= frame for o in offsets), len(offsets)))
PY
