#!/usr/bin/env bash
# What the music inputs cost, in one run:
#   1. the analysis per frame (all inputs), from bench_analysis;
#   2. a render of the 30 s example song at 800x600@60 with a one-colour
#      pair that declares every input against one that declares none:
#      median wall time of three runs each, and their ratio. The pair reads
#      its inputs in the vertex stage (four vertices a frame), so what is
#      measured is the feeding (uploads, bindings, the copy of the previous
#      frame), not a rasteriser sampling seven textures at every pixel.
#
#   bench/inputs.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake --build "$root/build" --target vrax-studio makeExample bench_analysis -j2 >/dev/null
work=$(mktemp -d /tmp/vrax-inputs-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY

echo "== 1. analysis per frame"
"$root/build/bench/bench_analysis" --benchmark_format=console 2>/dev/null | grep -E "median|mean|stddev"

echo "== 2. render with every input declared against none"
"$root/build/makeExample" song.wav >/dev/null
mkdir -p none every
cp "$root/Shaders/Quad.vert.glsl" none/
cat > none/Quad.frag.glsl <<'GLSL'
#version 450 core
in vec2 uv;
out vec4 FragColor;
uniform float aspect;
uniform float itime;
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };
void main() { FragColor = vec4(0.2, 0.3, 0.4, 1.0) + 1e-9 * vec4(spectrum[1] + aspect + itime); }
GLSL
cp none/Quad.frag.glsl every/
cat > every/Quad.vert.glsl <<'GLSL'
#version 450 core
layout(location = 0) in vec3 aPos;
layout(location = 1) in vec2 aTexCoord;
out vec2 uv;
uniform vec2 resolution;
uniform int frame;
uniform float bands[64];
uniform float bass, mid, treble, level, beat;
uniform int beats;
uniform sampler2D waveform, image0, image1, image2, image3, cover, previous;
uniform vec2 image0Size, image1Size, image2Size, image3Size, coverSize;
void main() {
  vec2 at = vec2(0.5);
  float all = resolution.x + float(frame) + bands[63] + bass + mid + treble + level + beat + float(beats) +
              image0Size.x + image1Size.x + image2Size.x + image3Size.x + coverSize.x +
              textureLod(waveform, at, 0.0).r + textureLod(image0, at, 0.0).r + textureLod(image1, at, 0.0).r +
              textureLod(image2, at, 0.0).r + textureLod(image3, at, 0.0).r + textureLod(cover, at, 0.0).r +
              textureLod(previous, at, 0.0).r;
  uv = aTexCoord;
  gl_Position = vec4(aPos, 1.0) + vec4(1e-12 * all);
}
GLSL
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for pair in none every; do
  for i in 1 2 3; do
    /usr/bin/time -f "%e" -o t.txt "$root/build/vrax-studio" render song.wav "$pair.mp4" --shaders "$pair" \
      --size 800x600 --fps 60 --overwrite -q
    cat t.txt
  done | median > "$pair.median"
  echo "$pair: median $(cat "$pair.median") s wall"
done
awk -v a="$(cat every.median)" -v b="$(cat none.median)" 'BEGIN { printf "ratio (every / none): %.3f\n", a / b }'
