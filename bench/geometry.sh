#!/usr/bin/env bash
# Shading fewer pixels: at 1920x1080@30, 10 s of the example song, median
# wall time of three renders each, as × real time. Side by side: a picture
# of 3 vertices (what the pipeline around a picture costs), a mesh of
# 100,352 triangles covering the frame (draw.txt), and the gallery's plasma
# at full scale and at the half scale it ships with.
#
#   bench/geometry.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake --build "$root/build" --target vrax-studio makeExample -j2 >/dev/null
studio="$root/build/vrax-studio"
work=$(mktemp -d /tmp/vrax-geometry-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset DISPLAY
"$root/build/makeExample" song.wav >/dev/null

mkdir -p mesh gallery
cat > mesh/Quad.vert.glsl <<'GLSL'
#version 450 core
uniform float itime;
out vec3 colour;
// A 224 × 224 grid of quads (100,352 triangles) over the frame, rippling.
void main() {
    const vec2 corners[6] = vec2[6](vec2(0, 0), vec2(1, 0), vec2(1, 1), vec2(0, 0), vec2(1, 1), vec2(0, 1));
    int cell = gl_VertexID / 6;
    vec2 p = (vec2(cell % 224, cell / 224) + corners[gl_VertexID % 6]) / 112.0 - 1.0;
    p += 0.004 * vec2(sin(p.y * 9.0 + itime), cos(p.x * 7.0 - itime));
    gl_Position = vec4(p, 0.0, 1.0);
    colour = 0.5 + 0.5 * cos(vec3(0.0, 2.1, 4.2) + length(p) * 4.0 - itime);
}
GLSL
cat > mesh/Quad.frag.glsl <<'GLSL'
#version 450 core
in vec3 colour;
out vec4 FragColor;
void main() { FragColor = vec4(colour, 1.0); }
GLSL
cp -r mesh three
echo "triangles 602112" > mesh/draw.txt
echo "triangles 3" > three/draw.txt
# The plasma without its draw.txt: shaded at full size.
cp -r "$root/pictures/plasma" gallery/plasma
rm -f gallery/plasma/draw.txt

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
declare -A runs=(
  [three]="--shaders three"
  [mesh]="--shaders mesh"
  [plasma-full]="--picture plasma"
  [plasma-half]="--picture plasma"
)
for run in 1 2 3; do
  for name in three mesh plasma-full plasma-half; do
    env=()
    [ "$name" = plasma-full ] && env=(VRAX_PICTURES="$work/gallery")
    # shellcheck disable=SC2086
    seconds env "${env[@]}" "$studio" render song.wav "$name.mp4" ${runs[$name]} --to 10 --size 1920x1080 \
      --fps 30 --overwrite --quiet >> "$name.txt"
  done
done
echo "1920x1080@30, 10 s (median of 3):"
for name in three mesh plasma-full plasma-half; do
  t=$(median < "$name.txt")
  printf '  %-12s %6.2f s  %5.2fx real time\n' "$name" "$t" "$(echo "10 / $t" | bc -l)"
done
