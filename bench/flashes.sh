#!/usr/bin/env bash
# General flashes (WCAG 2.3.1 / ITU-R BT.1702: opposing changes of relative
# luminance of 0.1 or more, the darker below 0.8; counted here on the whole
# frame's mean and, stricter, on any quarter of it as a 4x4 grid of cells
# with four cells changing the same way on one frame) in every gallery picture, the most in
# any one second, with the flash guard (the default) and without:
#   the example song (30 s), a loud, beat-driven one (kicks at 128 bpm over
#   a bass line, brickwalled) and an ambient one (slow swelling pad chords,
#   no drums), each at 320x180@30.
#
#   bench/flashes.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake --build "$root/build" --target vrax-studio makeExample -j2 >/dev/null
studio="$root/build/vrax-studio"
work=$(mktemp -d /tmp/vrax-flashes-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
"$root/build/makeExample" example.wav >/dev/null
python3 - <<'PY'
import math, struct, wave, random
rate = 44100
random.seed(1)
w = wave.open("loud.wav", "wb"); w.setnchannels(2); w.setsampwidth(2); w.setframerate(rate)
frames = []
beat = 60 / 128
for i in range(rate * 30):
    t = i / rate
    k = t % beat
    kick = math.sin(2 * math.pi * (50 + 120 * math.exp(-k * 30)) * k) * math.exp(-k * 8)
    bass = 0.6 * math.sin(2 * math.pi * 55 * (1 + (int(t / (beat * 4)) % 3)) * t)
    hat = (random.random() * 2 - 1) * 0.3 * math.exp(-((t + beat / 2) % beat) * 40)
    v = max(-1, min(1, 2.5 * (kick + bass + hat)))
    frames.append(struct.pack("<hh", int(v * 32000), int(v * 32000)))
w.writeframes(b"".join(frames)); w.close()
# Ambient: slow pad chords that swell and fade over seconds, a soft wash of
# noise, no drums.
w = wave.open("ambient.wav", "wb"); w.setnchannels(2); w.setsampwidth(2); w.setframerate(rate)
frames = []
chords = [(110, 138.6, 164.8), (98, 123.5, 146.8), (87.3, 110, 130.8), (82.4, 103.8, 123.5)]
for i in range(rate * 30):
    t = i / rate
    chord = chords[int(t / 7.5) % 4]
    swell = 0.5 - 0.5 * math.cos(2 * math.pi * t / 7.5)
    pad = sum(math.sin(2 * math.pi * f * t) + 0.3 * math.sin(4 * math.pi * f * t) for f in chord) / 4
    v = 0.5 * swell * pad + 0.04 * (random.random() * 2 - 1) * (0.6 + 0.4 * swell)
    frames.append(struct.pack("<hh", int(v * 32000), int(v * 32000)))
w.writeframes(b"".join(frames)); w.close()
PY
cat > count.py <<'PY'
import subprocess, sys
W, H, FPS = 320, 180, 30
def lin(c):
    v = c / 255
    return v / 12.92 if v <= 0.04045 else ((v + 0.055) / 1.055) ** 2.4
LIN = [lin(c) for c in range(256)]
def most(series):
    ext, d, ch = series[0], 0, []
    for i, y in enumerate(series):
        if d <= 0 and y - ext >= 0.1 and ext < 0.8: d, ext = 1, y; ch.append((i, 1))
        elif d >= 0 and ext - y >= 0.1 and y < 0.8: d, ext = -1, y; ch.append((i, -1))
        elif (d > 0 and y > ext) or (d < 0 and y < ext): ext = y
    return ch
raw = subprocess.run(["ffmpeg", "-v", "error", "-i", sys.argv[1], "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                     capture_output=True).stdout
size = W * H * 3
cells = [[] for _ in range(17)]  # 16 cells and the whole frame
for n in range(len(raw) // size):
    f = raw[n * size:(n + 1) * size]
    sums = [0.0] * 16
    for y in range(0, H, 6):
        for x in range(0, W, 6):
            i = (y * W + x) * 3
            sums[(y * 4 // H) * 4 + x * 4 // W] += 0.2126 * LIN[f[i]] + 0.7152 * LIN[f[i + 1]] + 0.0722 * LIN[f[i + 2]]
    per = len(range(0, W, 6)) * len(range(0, H, 6)) / 16
    for c in range(16):
        cells[c].append(sums[c] / per)
    cells[16].append(sum(sums) / (per * 16))
def worst(changes_per_frame, need):
    frames = sorted({key if isinstance(key, int) else key[0] for key, k in changes_per_frame.items() if k >= need})
    return max((sum(1 for t in frames if s <= t < s + FPS) for s in frames), default=0) / 2
whole = {i: 1 for i, _ in most(cells[16])}
quarter = {}
for c in range(16):
    for i, way in most(cells[c]):
        quarter[(i, way)] = quarter.get((i, way), 0) + 1  # cells changing the same way on one frame
print(f"{worst(whole, 1):4.1f} {worst(quarter, 4):4.1f}", end="")
PY
printf '%-12s %-8s %14s %14s\n' picture song "guard on" "guard off"
printf '%-12s %-8s %14s %14s\n' "" "" "whole quarter" "whole quarter"
for song in example loud ambient; do
  for picture in $("$studio" pictures | awk 'NF == 0 { exit } { print $1 }'); do
    line=$(printf '%-12s %-8s' "$picture" "$song")
    for guard in on off; do
      "$studio" render "$song.wav" "$picture-$guard.mkv" --picture "$picture" --size 320x180 --fps 30 \
        --flash-guard "$guard" --crf 10 -q --overwrite 2>/dev/null || { line+="   failed"; continue; }
      line+="     $(python3 count.py "$picture-$guard.mkv")"
    done
    echo "$line"
  done
done
