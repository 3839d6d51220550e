#!/usr/bin/env bash
# Measures how well picture and sound line up in a recording made by
# scripts/record: a song of clicks (a 4 ms burst every 0.51 s, so that clicks
# fall at every phase of the 60 Hz frame grid) is recorded with
# a shader that flashes white while the spectrum is lit, then the click times
# in the mp4's sound track are compared with the flash frames of its picture.
# Prints every offset (flash − click, in ms; positive = picture late) and
# their median.
#
#   bench/sync.sh [SECONDS]      default 10
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-10}"
work=$(mktemp -d /tmp/vrax-sync-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Shaders"

python3 - "$work/example.wav" <<'PY'
import random, struct, sys, wave
rate, spacing = 44100, 22491  # 0.51 s
length = spacing * 10
random.seed(1)
frames = bytearray()
for i in range(length):
    t = i % spacing
    v = random.randint(-20000, 20000) if 11025 <= t < 11025 + 176 else 0
    frames += struct.pack("<hh", v, v)
with wave.open(sys.argv[1], "wb") as w:
    w.setnchannels(2); w.setsampwidth(2); w.setframerate(rate); w.writeframes(bytes(frames))
PY
cp "$root/Shaders/Quad.vert.glsl" "$work/Shaders/"
cat >"$work/Shaders/Quad.frag.glsl" <<'GLSL'
#version 450 core
out vec4 colour;
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };
void main() {
    float lit = spectrum[500] + spectrum[1000] + spectrum[2000] + spectrum[3000];
    colour = vec4(vec3(lit > 4.0 * -6.5 ? 1.0 : 0.0), 1.0);
}
GLSL

VRAX_WORKDIR="$work" "$root/scripts/record" "$seconds" "$work/sync.mp4" >"$work/record.log"
ffmpeg -nostdin -loglevel error -i "$work/sync.mp4" -map 0:a -ac 1 -ar 44100 -f s16le "$work/sound.raw"
ffmpeg -nostdin -loglevel error -i "$work/sync.mp4" -map 0:v -vf "scale=8:6,format=gray" -f rawvideo "$work/picture.raw"

python3 - "$work/sound.raw" "$work/picture.raw" <<'PY'
import array, statistics, sys
sound = array.array("h", open(sys.argv[1], "rb").read())
picture = open(sys.argv[2], "rb").read()
rate, fps, size = 44100, 60.0, 48
clicks, quiet = [], rate
for i, v in enumerate(sound):
    if abs(v) > 4000 and quiet >= rate // 5:
        clicks.append(i / rate)
    quiet = 0 if abs(v) > 4000 else quiet + 1
bright = [sum(picture[f * size:(f + 1) * size]) / size for f in range(len(picture) // size)]
flashes = [f / fps for f in range(1, len(bright)) if bright[f] > 128 and bright[f - 1] <= 128]
offsets = []
for c in clicks:
    near = min(flashes, key=lambda f: abs(f - c), default=None)
    if near is not None and abs(near - c) < 0.2:
        offsets.append((near - c) * 1000)
if not offsets:
    sys.exit("no clicks matched to flashes: %d clicks, %d flashes" % (len(clicks), len(flashes)))
print("clicks %d, flashes %d, matched %d" % (len(clicks), len(flashes), len(offsets)))
print("offsets (ms): " + " ".join("%.0f" % o for o in offsets))
print("median %.1f ms, mean %.1f ms, min %.1f, max %.1f (one frame is 16.7 ms)" % (
    statistics.median(offsets), statistics.mean(offsets), min(offsets), max(offsets)))
PY
