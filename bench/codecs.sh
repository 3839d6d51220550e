#!/usr/bin/env bash
# Each codec on the 30 s example song at 800x600@60 with a one-colour pair
# (so the encoder is what is timed), in one run: wall time, × real time and
# file size. Then the pipeline's own cost: the same frames dumped raw and
# encoded by the ffmpeg program with the same H.264 settings, against
# vrax-studio's render of them.
#
#   bench/codecs.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake --build "$root/build" --target vrax-studio makeExample -j2 >/dev/null
studio="$root/build/vrax-studio"
work=$(mktemp -d /tmp/vrax-codecs-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
"$root/build/makeExample" song.wav >/dev/null
mkdir flat
cp "$root/Shaders/Quad.vert.glsl" flat/
cat > flat/Quad.frag.glsl <<'GLSL'
#version 450 core
in vec2 uv;
out vec4 FragColor;
uniform float aspect;
uniform float itime;
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };
void main() { FragColor = vec4(uv, 0.5 + 0.5 * sin(itime + spectrum[40] * 0.01), 1.0); }
GLSL

timed() {  # timed LABEL COMMAND...: prints "LABEL wall_s"
  local label="$1"
  shift
  /usr/bin/time -f "$label %e" -o time.txt "$@" >/dev/null 2>&1
  tail -1 time.txt
}

echo "== each codec, 30 s at 800x600@60"
printf "%-14s %8s %8s %10s\n" output wall "x real" size
for choice in "h264.mp4" "hevc.mp4:hevc" "vp9.webm" "av1.mkv:av1" "prores.mov:prores"; do
  out="${choice%%:*}"
  codec="${choice#*:}"
  args=()
  [ "$codec" != "$choice" ] && args=(--codec "$codec")
  line=$(timed "$out" "$studio" render song.wav "$out" --shaders flat --size 800x600 --fps 60 -q "${args[@]}")
  wall=$(echo "$line" | cut -d' ' -f2)
  size=$(stat -c %s "$out")
  awk -v o="$out" -v w="$wall" -v s="$size" 'BEGIN { printf "%-14s %7.1fs %7.2fx %8.2f MB\n", o, w, 30 / w, s / 1e6 }'
done

echo "== the pipeline's cost against the encoder alone (H.264 veryfast CRF 18, no sound)"
# The frames as rendered, losslessly as RGB, then encoded by ffmpeg alone.
"$studio" render song.wav frames.mkv --shaders flat -q --crf 0 --size 800x600 --fps 60 >/dev/null
ffmpeg -v error -i frames.mkv -f rawvideo -pix_fmt yuv420p -y frames.yuv
ours=$(timed ours "$studio" render song.wav ours.mp4 --shaders flat --size 800x600 --fps 60 -q)
alone=$(timed alone ffmpeg -v error -y -f rawvideo -pix_fmt yuv420p -s 800x600 -r 60 -i frames.yuv -c:v libx264 \
  -preset veryfast -crf 18 alone.mp4)
a=$(echo "$ours" | cut -d' ' -f2)
b=$(echo "$alone" | cut -d' ' -f2)
awk -v a="$a" -v b="$b" 'BEGIN { printf "vrax-studio %.1f s, ffmpeg encoding the same frames %.1f s: ratio %.2f\n", a, b, a / b }'
