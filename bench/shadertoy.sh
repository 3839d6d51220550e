#!/usr/bin/env bash
# Shadertoy's form against a native pair drawing the same picture (a plasma
# of time and place, the same arithmetic in both), and the same picture split
# into a buffer that does the work and an image pass that shows it: the first
# 10 s of the example song at 800x600@60, median wall time of three renders
# each, and their ratios. Then what each further pass costs: a light picture drawn
# with 0 to 4 buffers in front of it, one render each; and a still 20 s in.
#
#   bench/shadertoy.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake --build "$root/build" --target vrax-studio makeExample -j2 >/dev/null
work=$(mktemp -d /tmp/vrax-shadertoy-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
"$root/build/makeExample" song.wav >/dev/null

mkdir native
cp "$root/Shaders/Quad.vert.glsl" native/
cat > native/Quad.frag.glsl <<'GLSL'
#version 450 core
in vec2 uv;
out vec4 FragColor;
uniform float aspect;
uniform float itime;
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };
void main() {
    vec2 p = (uv - 0.5) * vec2(1.0 / aspect, 1.0) * 6.0;
    float v = sin(p.x + itime) + sin(p.y * 1.3 - itime * 0.7) + sin(length(p) * 2.0 - itime * 1.1);
    vec3 col = 0.5 + 0.5 * cos(v + vec3(0.0, 2.1, 4.2) + spectrum[40] * 0.01);
    FragColor = vec4(col, 1.0);
}
GLSL
cat > toy.glsl <<'GLSL'
void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    vec2 uv = fragCoord / iResolution.xy;
    vec2 p = (uv - 0.5) * vec2(iResolution.x / iResolution.y, 1.0) * 6.0;
    float v = sin(p.x + iTime) + sin(p.y * 1.3 - iTime * 0.7) + sin(length(p) * 2.0 - iTime * 1.1);
    vec3 col = 0.5 + 0.5 * cos(v + vec3(0.0, 2.1, 4.2) + texture(iChannel0, vec2(0.1, 0.25)).x * 0.01);
    fragColor = vec4(col, 1.0);
}
GLSL
# Heavier work: the plasma summed over eight scales.
sed -e 's/    float v = sin/    float v = 0.0;\n    for (int i = 1; i <= 8; ++i) { p *= 1.07; v += (sin/' \
    -e 's/iTime \* 1.1);/iTime * 1.1)) \/ 8.0; }/' toy.glsl > heavy.glsl
# The same work in a buffer, reading the music on iChannel1, and an image
# pass that shows it.
for work in toy heavy; do
  dir="split-$work"
  mkdir "$dir"
  sed 's/iChannel0/iChannel1/' "$work.glsl" > "$dir/buffer-a.glsl"
  printf 'void mainImage(out vec4 fragColor, in vec2 fragCoord) {\n    fragColor = texelFetch(iChannel0, ivec2(fragCoord), 0);\n}\n' \
    > "$dir/image.glsl"
  printf 'buffer-a: 1=music\nimage: 0=buffer-a,nearest\n' > "$dir/channels.txt"
done

# A light picture behind 0 to 4 buffers, each a copy of the one before.
for n in 0 1 2 3 4; do
  mkdir "passes$n"
  names=(a b c d)
  for ((k = 0; k < n; ++k)); do
    reads=$([ "$k" -eq 0 ] && echo music || echo "buffer-${names[k - 1]}")
    cat > "passes$n/buffer-${names[k]}.glsl" <<'GLSL'
void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    fragColor = texture(iChannel0, fragCoord / iResolution.xy) * 0.5 + 0.25;
}
GLSL
    echo "buffer-${names[k]}: 0=$reads" >> "passes$n/channels.txt"
  done
  cat > "passes$n/image.glsl" <<'GLSL'
void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    fragColor = vec4(texture(iChannel0, fragCoord / iResolution.xy).xyz, 1.0);
}
GLSL
  last=$([ "$n" -eq 0 ] && echo music || echo "buffer-${names[n - 1]}")
  echo "image: 0=$last" >> "passes$n/channels.txt"
done

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for form in native toy.glsl split-toy heavy.glsl split-heavy; do
  for i in 1 2 3; do
    /usr/bin/time -f "%e" -o t.txt "$root/build/vrax-studio" render song.wav out.mp4 --shaders "$form" --size 800x600 --fps 60 --to 10 --overwrite -q
    cat t.txt
  done | median > "$form.median"
  echo "$form: median $(cat "$form.median") s wall"
done
awk -v a="$(cat toy.glsl.median)" -v b="$(cat native.median)" 'BEGIN { printf "ratio (Shadertoy / native): %.3f\n", a / b }'
awk -v a="$(cat split-toy.median)" -v b="$(cat toy.glsl.median)" \
  'BEGIN { printf "ratio (buffer + image / one pass), the plasma: %.3f\n", a / b }'
awk -v a="$(cat split-heavy.median)" -v b="$(cat heavy.glsl.median)" \
  'BEGIN { printf "ratio (buffer + image / one pass), 8 plasmas: %.3f\n", a / b }'
for n in 0 1 2 3 4; do
  /usr/bin/time -f "%e" -o t.txt "$root/build/vrax-studio" render song.wav out.mp4 --shaders "passes$n" --size 800x600 --fps 60 --to 10 --overwrite -q
  echo "$((n + 1)) passes a frame (a light picture): $(cat t.txt) s wall"
done
# A still 20 s in: passes that read only what is drawn before them in the
# frame keep no history, so a late still of the split picture costs what the
# one-pass picture's does (before, the 10 s in front of it were drawn).
for form in heavy.glsl split-heavy; do
  for i in 1 2 3; do
    /usr/bin/time -f "%e" -o t.txt "$root/build/vrax-studio" render song.wav still.png --shaders "$form" --size 800x600 --from 20 --overwrite -q
    cat t.txt
  done | median > "$form.still"
  echo "$form: a still at 20 s, median $(cat "$form.still") s wall"
done
awk -v a="$(cat split-heavy.still)" -v b="$(cat heavy.glsl.still)" \
  'BEGIN { printf "ratio (buffer + image / one pass), a still at 20 s: %.3f\n", a / b }'
