#!/usr/bin/env bash
# vrax-studio render against what a user would otherwise pick, in one run:
#   1. the 30 s example song at 800x600@60 with the shipped shaders, and
#      ffmpeg's showcqt filter drawing the same song at the same size, rate
#      and CRF into H.264 + AAC: wall time of each and their ratio;
#   2. 1920x1080@60 (the first 10 s) as × real time;
#   3. peak RSS for a 30 s and a 5 min song (same settings, 320x240@30);
#   4. sync: a click track rendered with a flashing test pair, decoded, and
#      the flash frames and sound onsets compared with the clicks' times;
#   5. every gallery picture against the same showcqt run: the 30 s song at
#      800x600@60 (wall time and ratio), and its first 10 s at 1920x1080@30
#      (× real time and peak memory).
#
#   6. (stills only) every gallery picture's still 90 s into a song at the
#      default 1920x1080, median of three, and its ratio to ring's.
#
#   bench/render.sh            all five
#   bench/render.sh gallery    the showcqt run and section 5 only
#   bench/render.sh stills     section 6 only
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake --build "$root/build" --target vrax-studio makeExample -j2 >/dev/null
studio="$root/build/vrax-studio"
work=$(mktemp -d /tmp/vrax-render-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
"$root/build/makeExample" song.wav >/dev/null
ffmpeg -v error -stream_loop 9 -i song.wav -c copy long.wav

timed() {  # timed LABEL COMMAND... : prints "LABEL wall_s peak_kB"
  local label="$1"
  shift
  /usr/bin/time -f "$label %e %M" -o time.txt "$@" >/dev/null 2>&1
  tail -1 time.txt
}

showcqt() {
  timed ffmpeg-showcqt ffmpeg -v error -y -i song.wav -filter_complex "[0:a]showcqt=s=800x600:r=60[v]" \
    -map "[v]" -map 0:a -c:v libx264 -crf 18 -pix_fmt yuv420p -c:a aac -b:a 192k theirs.mp4
}

gallery() {
  local theirs="$1"
  echo "== 5. every gallery picture, against ffmpeg showcqt (the 30 s song at 800x600@60: $theirs s)"
  printf "%-12s %8s %7s   %s\n" picture "800x600" ratio "1920x1080@30, first 10 s"
  for picture in $("$studio" pictures | awk 'NF == 0 { exit } { print $1 }'); do
    local small big
    small=$(timed "$picture" "$studio" render song.wav "$picture.mp4" --picture "$picture" --size 800x600 --fps 60 -q --overwrite)
    big=$(timed "$picture" "$studio" render song.wav "$picture-hd.mp4" --picture "$picture" --size 1920x1080 \
      --fps 30 --to 10 -q --overwrite)
    awk -v name="$picture" -v a="$(echo "$small" | cut -d' ' -f2)" -v b="$theirs" \
      -v hw="$(echo "$big" | cut -d' ' -f2)" -v hm="$(echo "$big" | cut -d' ' -f3)" \
      'BEGIN { printf "%-12s %7.1fs %7.2f   %.2fx real time, peak %d MB\n", name, a, a / b, 10 / hw, hm / 1024 }'
  done
}

stills() {
  echo "== 6. a still 90 s into a 300 s song, 1920x1080, median of three"
  local ring=""
  for picture in $("$studio" pictures | awk 'NF == 0 { exit } { print $1 }'); do
    local t
    t=$(for i in 1 2 3; do
      timed "$picture" "$studio" render long.wav "$picture.png" --picture "$picture" --from 90 -q --overwrite |
        cut -d' ' -f2
    done | sort -n | sed -n 2p)
    ring=${ring:-$t}
    awk -v name="$picture" -v t="$t" -v r="$ring" 'BEGIN { printf "%-12s %6.2fs %6.2f x ring\n", name, t, t / r }'
  done
}

if [ "${1:-}" = "stills" ]; then
  stills
  exit 0
fi

if [ "${1:-}" = "gallery" ]; then
  gallery "$(showcqt | cut -d' ' -f2)"
  exit 0
fi

echo "== 1. 30 s song, 800x600@60, CRF 18"
ours=$(timed vrax-studio "$studio" render song.wav ours.mp4 --crf 18 --shaders "$root/Shaders" --size 800x600 --fps 60 -q)
theirs=$(showcqt)
echo "$ours" | awk '{ printf "vrax-studio     %6.1f s wall  %.2fx real time  peak %d MB\n", $2, 30 / $2, $3 / 1024 }'
echo "$theirs" | awk '{ printf "ffmpeg showcqt  %6.1f s wall  %.2fx real time  peak %d MB\n", $2, 30 / $2, $3 / 1024 }'
awk -v a="$(echo "$ours" | cut -d' ' -f2)" -v b="$(echo "$theirs" | cut -d' ' -f2)" \
  'BEGIN { printf "ratio (ours / ffmpeg): %.2f\n", a / b }'
ls -l ours.mp4 theirs.mp4 | awk '{ printf "  %s %.2f MB\n", $9, $5 / 1e6 }'

# The same render with a one-colour pair: the pipeline without the picture's
# cost, which on a software rasteriser is most of the work.
mkdir -p flat flash
cat > flat/Quad.vert.glsl <<'GLSL'
#version 450 core
layout(location = 0) in vec3 aPos;
void main() { gl_Position = vec4(aPos, 1.0); }
GLSL
cat > flat/Quad.frag.glsl <<'GLSL'
#version 450 core
out vec4 colour;
uniform float itime;
void main() { colour = vec4(0.1, 0.1, 0.2 + 0.1 * sin(itime), 1.0); }
GLSL
flat=$(timed flat "$studio" render song.wav flat.mp4 --crf 18 --shaders flat --size 800x600 --fps 60 -q)
echo "$flat" | awk '{ printf "vrax-studio, one-colour pair: %.1f s wall  %.2fx real time\n", $2, 30 / $2 }'
awk -v a="$(echo "$flat" | cut -d' ' -f2)" -v b="$(echo "$theirs" | cut -d' ' -f2)" \
  'BEGIN { printf "ratio (one-colour pair / ffmpeg): %.2f\n", a / b }'

echo "== 2. 1920x1080@60, first 10 s"
hd=$(timed hd "$studio" render song.wav hd.mp4 --size 1920x1080 --fps 60 --to 10 --shaders "$root/Shaders" -q)
echo "$hd" | awk '{ printf "1080p60: %.1f s wall for 10 s: %.2fx real time, peak %d MB\n", $2, 10 / $2, $3 / 1024 }'

echo "== 3. peak RSS, 320x240@30"
short=$(timed short "$studio" render song.wav short.mp4 --size 320x240 --fps 30 --shaders "$root/Shaders" -q)
long=$(timed long "$studio" render long.wav long.mp4 --size 320x240 --fps 30 --shaders "$root/Shaders" -q)
echo "$short" | awk '{ printf "30 s song:  peak %.1f MB (%.1f s wall)\n", $3 / 1024, $2 }'
echo "$long" | awk '{ printf "5 min song: peak %.1f MB (%.1f s wall)\n", $3 / 1024, $2 }'
awk -v a="$(echo "$short" | cut -d' ' -f3)" -v b="$(echo "$long" | cut -d' ' -f3)" \
  'BEGIN { printf "5 min / 30 s peak: %.3f\n", b / a }'

echo "== 4. sync on a click track (96 kHz, 60 fps, clicks every 0.5 s)"
cp flat/Quad.vert.glsl flash/
cat > flash/Quad.frag.glsl <<'GLSL'
#version 450 core
out vec4 colour;
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };
void main() {
    float loudest = -100.0;
    for (int k = 240; k < 272; ++k) loudest = max(loudest, spectrum[k]);
    colour = vec4(vec3(loudest > -6.0 ? 1.0 : 0.0), 1.0);
}
GLSL
python3 - <<'PY'
import math, struct, wave
rate, fps = 96000, 60
w = wave.open("clicks.wav", "wb"); w.setnchannels(2); w.setsampwidth(2); w.setframerate(rate)
clicks = [n * rate // fps for n in range(40, 600, 30)]
data = bytearray(10 * rate * 4)
for c in clicks:
    for i in range(480):
        v = int(26000 * math.sin(2 * math.pi * 3000 * i / rate))
        struct.pack_into("<hh", data, (c + i) * 4, v, v)
w.writeframes(bytes(data)); w.close()
PY
"$studio" render clicks.wav clicks.mp4 --shaders flash --size 64x48 --fps 60 -q
ffmpeg -v error -i clicks.mp4 -map 0:v -f rawvideo -pix_fmt gray frames.raw
ffmpeg -v error -i clicks.mp4 -map 0:a -ac 1 -f f32le sound.raw
python3 - <<'PY'
import struct
rate, fps, size = 96000, 60, 64 * 48
raw = open("frames.raw", "rb").read()
bright = [sum(raw[i:i + size]) / size for i in range(0, len(raw), size)]
frames = [n for n in range(20, len(bright)) if bright[n] > 128 and bright[n - 1] < 128]
expected = list(range(40, 600, 30))
print("flash frames on their click's frame: %d of %d (off by: %s)" % (
    sum(1 for f in frames if f in expected), len(expected),
    sorted(set(f - e for f, e in zip(frames, expected))) or "none"))
pcm = open("sound.raw", "rb").read()
sound = struct.unpack("<%df" % (len(pcm) // 4), pcm)
offsets = []
for n in expected:
    t = n * rate // fps
    onset = next(i for i in range(t - 4800, t + 4800) if abs(sound[i]) > 0.2)
    offsets.append((onset - t) / rate * 1000)
offsets.sort()
print("sound onset − frame time: median %.3f ms, min %.3f ms, max %.3f ms over %d clicks" % (
    offsets[len(offsets) // 2], offsets[0], offsets[-1], len(offsets)))
PY

gallery "$(echo "$theirs" | cut -d' ' -f2)"
