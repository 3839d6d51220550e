#!/usr/bin/env bash
# Whether a playlist's changes start on downbeats and last the crossfade: the
# example song rendered with --picture ring,bars --change-every 4 (crossfade
# 1 beat), each picture alone, and a picture that draws the beat grid's bar
# (barIndex as grey), all at 60 fps, lossless. A frame of the playlist is
# "ring", "bars" or a blend of the two; each blend's first frame is compared
# with the frame where the bar count reaches the change's downbeat, and its
# length (frames) with one beat at the tempo there.
#
#   bench/transitions.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake --build "$root/build" --target vrax-studio makeExample -j2 >/dev/null
studio="$root/build/vrax-studio"
work=$(mktemp -d /tmp/vrax-transitions-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
"$root/build/makeExample" song.wav >/dev/null
mkdir bars-grid
cat > bars-grid/Quad.frag.glsl <<'GLSL'
#version 450 core
in vec2 uv;
out vec4 FragColor;
uniform int barIndex;
uniform float bpm;
void main() { FragColor = vec4(float(barIndex + 1) / 255.0, bpm / 255.0, 0.0, 1.0); }
GLSL
cp "$root/Shaders/Quad.vert.glsl" bars-grid/ 2>/dev/null || cp "$root/pictures/bars/Quad.vert.glsl" bars-grid/
common=(--size 64x36 --fps 60 --codec png --level off -q)
"$studio" render song.wav ring.mov --picture ring "${common[@]}"
"$studio" render song.wav bars.mov --picture bars "${common[@]}"
"$studio" render song.wav both.mov --picture ring,bars --change-every 4 "${common[@]}"
"$studio" render song.wav grid.mov --shaders bars-grid "${common[@]}"
for f in ring bars both grid; do ffmpeg -v error -i $f.mov -f rawvideo -pix_fmt rgb24 $f.rgb; done
python3 - <<'PY'
size = 64 * 36 * 3
read = lambda n: open(n + '.rgb', 'rb').read()
ring, bars, both, grid = read('ring'), read('bars'), read('both'), read('grid')
frames = len(both) // size
def kind(n):
    a, b, c = (x[n * size:(n + 1) * size] for x in (ring, bars, both))
    if a == b:
        return 'same'
    da = max(abs(p - q) for p, q in zip(a, c))
    db = max(abs(p - q) for p, q in zip(b, c))
    return 'ring' if da <= 1 else 'bars' if db <= 1 else 'blend'
kinds = [kind(n) for n in range(frames)]
bar = [grid[n * size] - 1 for n in range(frames)]
bpm = [grid[n * size + 1] for n in range(frames)]
downbeats = [n for n in range(1, frames) if bar[n] != bar[n - 1] and bar[n] > 0 and bar[n] % 4 == 0]
starts = [n for n in range(1, frames) if kinds[n] == 'blend' and kinds[n - 1] != 'blend']
print(f"{'downbeat frame':>15} {'blend starts':>13} {'off':>4} {'blend frames':>13} {'one beat (frames)':>18}")
for d in downbeats:
    s = min(starts, key=lambda x: abs(x - d)) if starts else -1
    length = 0
    while s >= 0 and s + length < frames and kinds[s + length] == 'blend':
        length += 1
    print(f"{d:>15} {s:>13} {s - d:>4} {length:>13} {60 * 60 / max(bpm[d], 1):>18.1f}")
PY
